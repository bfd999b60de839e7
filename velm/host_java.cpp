// host_java.cpp - the host's Java functions table: the Java VM cached at
// JNI_OnLoad, per-thread environments, Java Strings from UTF-8 text,
// bindings of Java callback objects to native procedures, and the Java file
// objects FileOpen accepts with the Java file marker.
//
// Built with the JNI headers when a JDK is found (VELM_WITH_JAVA); without
// them, and in any process where Java never loaded this library, every Java
// service answers "none".
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "host_internal.h"

#ifdef VELM_WITH_JAVA
#include <jni.h>
#endif

namespace velm {

#ifdef VELM_WITH_JAVA
namespace {

std::atomic<JavaVM *> javaVm{nullptr};
std::atomic<uint32_t> globalRefs{0};

// A thread this host attached is detached when it ends.
struct Attachment {
    bool attached = false;
    ~Attachment()
    {
        JavaVM *vm = javaVm.load();
        if (attached && vm != nullptr)
            vm->DetachCurrentThread();
    }
};
thread_local Attachment attachment;

JNIEnv *currentEnv()
{
    JavaVM *vm = javaVm.load();
    if (vm == nullptr)
        return nullptr;
    JNIEnv *env = nullptr;
    jint got = vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6);
    if (got == JNI_OK)
        return env;
    if (got != JNI_EDETACHED)
        return nullptr;
    if (vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), nullptr) != JNI_OK)
        return nullptr;
    attachment.attached = true;
    return env;
}

// True (and the exception cleared) when the last JNI call threw.
bool clearException(JNIEnv *env)
{
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionClear();
    return true;
}

jobject keep(JNIEnv *env, jobject object)
{
    if (object == nullptr)
        return nullptr;
    jobject global = env->NewGlobalRef(object);
    if (global != nullptr)
        globalRefs.fetch_add(1);
    return global;
}

void drop(JNIEnv *env, jobject global)
{
    if (global == nullptr)
        return;
    env->DeleteGlobalRef(global);
    globalRefs.fetch_sub(1);
}

// ---- text -------------------------------------------------------------------------

// Decodes one UTF-8 sequence at text[0..n): the code point, or U+FFFD for the
// longest ill-formed prefix (at least one byte); *used gets its length.
uint32_t decodeUtf8(const uint8_t *text, size_t n, size_t *used)
{
    uint8_t lead = text[0];
    *used = 1;
    if (lead < 0x80)
        return lead;
    size_t length;
    uint32_t cp;
    uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0xFFFD;
    }
    for (size_t i = 1; i < length; ++i) {
        uint8_t byte = i < n ? text[i] : 0;
        uint8_t lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
        if (i >= n || byte < lo || byte > hi)
            return 0xFFFD;
        cp = (cp << 6) | (byte & 0x3Fu);
        *used = i + 1;
    }
    return cp;
}

// A Java String of UTF-8 text; invalid bytes become U+FFFD.
jstring stringFromUtf8(JNIEnv *env, const char *text)
{
    size_t n = strlen(text);
    if (n > static_cast<size_t>(INT32_MAX))
        return nullptr; // more than a Java String holds
    // At most one UTF-16 unit per byte.
    auto *units = static_cast<jchar *>(malloc((n != 0 ? n : 1) * sizeof(jchar)));
    if (units == nullptr)
        return nullptr;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    size_t count = 0;
    for (size_t pos = 0; pos < n;) {
        size_t used;
        uint32_t cp = decodeUtf8(bytes + pos, n - pos, &used);
        pos += used;
        if (cp >= 0x10000) {
            units[count++] = static_cast<jchar>(0xD800 + ((cp - 0x10000) >> 10));
            units[count++] = static_cast<jchar>(0xDC00 + (cp & 0x3FF));
        } else {
            units[count++] = static_cast<jchar>(cp);
        }
    }
    jstring string = env->NewString(units, static_cast<jsize>(count));
    free(units);
    return string;
}

// ---- bindings ---------------------------------------------------------------------

struct JavaBinding {
    jobject procs = nullptr; // global reference to the Java procedure object
    jobject user = nullptr;  // global reference to the Java user object, or null
    jmethodID download = nullptr;
    jmethodID close = nullptr, length = nullptr, read = nullptr, seek = nullptr;
    JavaBinding *next = nullptr; // the stream's next binding
};

// A Java ByteBuffer over native bytes; null (exception cleared) when it cannot be made.
jobject directBuffer(JNIEnv *env, void *bytes, uint32_t length)
{
    jobject buffer = env->NewDirectByteBuffer(bytes, static_cast<jlong>(length));
    if (clearException(env))
        return nullptr;
    return buffer;
}

void downloadProc(const void *bytes, uint32_t length, void *user)
{
    auto *binding = static_cast<JavaBinding *>(user);
    JNIEnv *env = currentEnv();
    if (env == nullptr || binding == nullptr || length > INT32_MAX)
        return;
    // The host's bytes: the Java side gets a read-only view.
    jobject buffer = directBuffer(env, const_cast<void *>(bytes), length);
    if (buffer == nullptr)
        return;
    jclass cls = env->GetObjectClass(buffer);
    jmethodID readOnly = env->GetMethodID(cls, "asReadOnlyBuffer", "()Ljava/nio/ByteBuffer;");
    jobject view = readOnly != nullptr ? env->CallObjectMethod(buffer, readOnly) : nullptr;
    clearException(env);
    if (view != nullptr) {
        env->CallVoidMethod(binding->procs, binding->download, view, static_cast<jint>(length),
                            binding->user);
        clearException(env); // a throwing callback never reaches the add-on
        env->DeleteLocalRef(view);
    }
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(buffer);
}

void fileClose(void *user)
{
    auto *binding = static_cast<JavaBinding *>(user);
    JNIEnv *env = currentEnv();
    if (env == nullptr)
        return;
    env->CallVoidMethod(binding->procs, binding->close, binding->user);
    clearException(env);
}

uint64_t fileLength(void *user)
{
    auto *binding = static_cast<JavaBinding *>(user);
    JNIEnv *env = currentEnv();
    if (env == nullptr)
        return kNone;
    jlong length = env->CallLongMethod(binding->procs, binding->length, binding->user);
    if (clearException(env) || length < 0)
        return kNone; // unknown
    return static_cast<uint64_t>(length);
}

// The bytes delivered, clamped to what was asked: a throwing or negative read
// delivers nothing, a read claiming more than asked delivers what was asked.
uint32_t fileRead(void *bytes, uint32_t length, void *user)
{
    auto *binding = static_cast<JavaBinding *>(user);
    JNIEnv *env = currentEnv();
    if (env == nullptr || length == 0)
        return 0;
    if (length > INT32_MAX)
        length = INT32_MAX;
    jobject buffer = directBuffer(env, bytes, length);
    if (buffer == nullptr)
        return 0;
    jint got =
        env->CallIntMethod(binding->procs, binding->read, buffer, static_cast<jint>(length), binding->user);
    if (clearException(env) || got < 0)
        got = 0;
    env->DeleteLocalRef(buffer);
    return std::min(static_cast<uint32_t>(got), length);
}

uint32_t fileSeek(uint64_t offset, void *user)
{
    auto *binding = static_cast<JavaBinding *>(user);
    JNIEnv *env = currentEnv();
    if (env == nullptr || offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    jboolean ok =
        env->CallBooleanMethod(binding->procs, binding->seek, static_cast<jlong>(offset), binding->user);
    if (clearException(env))
        return 0;
    return ok ? 1 : 0;
}

const VELM_FILEPROCS javaFileProcs = {fileClose, fileLength, fileRead, fileSeek};

struct MethodSpec {
    jmethodID JavaBinding::*slot;
    const char *name;
    const char *sig;
};

const MethodSpec downloadMethods[] = {
    {&JavaBinding::download, "download", "(Ljava/nio/ByteBuffer;ILjava/lang/Object;)V"},
};

const MethodSpec fileMethods[] = {
    {&JavaBinding::close, "close", "(Ljava/lang/Object;)V"},
    {&JavaBinding::length, "length", "(Ljava/lang/Object;)J"},
    {&JavaBinding::read, "read", "(Ljava/nio/ByteBuffer;ILjava/lang/Object;)I"},
    {&JavaBinding::seek, "seek", "(JLjava/lang/Object;)Z"},
};

void freeBinding(JNIEnv *env, JavaBinding *binding)
{
    if (env != nullptr) {
        drop(env, binding->procs);
        drop(env, binding->user);
    }
    free(binding);
}

// A binding holding global references to procs and user, with the methods
// looked up on the procedure object's class; null (error set) on failure.
JavaBinding *makeBinding(void *envPointer, void *procs, void *user, const MethodSpec *methods, size_t count)
{
    auto *env = static_cast<JNIEnv *>(envPointer);
    if (env == nullptr || procs == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return nullptr;
    }
    auto *binding = static_cast<JavaBinding *>(calloc(1, sizeof(JavaBinding)));
    if (binding == nullptr) {
        SetError(VELM_ERROR_MEM);
        return nullptr;
    }
    jclass cls = env->GetObjectClass(static_cast<jobject>(procs));
    bool ok = cls != nullptr;
    for (size_t i = 0; ok && i < count; ++i) {
        binding->*methods[i].slot = env->GetMethodID(cls, methods[i].name, methods[i].sig);
        ok = binding->*methods[i].slot != nullptr;
    }
    if (cls != nullptr)
        env->DeleteLocalRef(cls);
    if (ok) {
        binding->procs = keep(env, static_cast<jobject>(procs));
        binding->user = keep(env, static_cast<jobject>(user));
        ok = binding->procs != nullptr && (user == nullptr || binding->user != nullptr);
    }
    if (!ok) {
        clearException(env);
        freeBinding(env, binding);
        SetError(VELM_ERROR_ILLPARAM);
        return nullptr;
    }
    return binding;
}

// ---- the table --------------------------------------------------------------------

void *GetJavaEnv()
{
    return currentEnv();
}

void *NewJavaString(void *env, const char *text)
{
    if (env == nullptr || text == nullptr)
        return nullptr;
    return stringFromUtf8(static_cast<JNIEnv *>(env), text);
}

void *WrapJavaDownloadProc(void *env, void *proc, void *user, VELM_DOWNLOADPROC **nativeProc)
{
    JavaBinding *binding = makeBinding(env, proc, user, downloadMethods, 1);
    if (nativeProc != nullptr)
        *nativeProc = binding != nullptr ? downloadProc : nullptr;
    return binding;
}

void *WrapJavaFileProcs(void *env, void *procs, void *user, const VELM_FILEPROCS **nativeProcs)
{
    JavaBinding *binding =
        makeBinding(env, procs, user, fileMethods, sizeof fileMethods / sizeof fileMethods[0]);
    if (nativeProcs != nullptr)
        *nativeProcs = binding != nullptr ? &javaFileProcs : nullptr;
    return binding;
}

void FreeJavaBinding(void *binding)
{
    if (binding != nullptr)
        freeBinding(currentEnv(), static_cast<JavaBinding *>(binding));
}

// The stream drops the binding when it is freed; without a stream it goes now.
void AttachJavaBinding(void *, uint32_t handle, void *binding)
{
    if (binding == nullptr)
        return;
    std::shared_ptr<HostStream> stream = FindStream(handle);
    std::unique_lock<std::mutex> guard;
    if (stream != nullptr)
        guard = std::unique_lock<std::mutex>(stream->lock);
    if (stream == nullptr || stream->freed) {
        FreeJavaBinding(binding);
        return;
    }
    auto *record = static_cast<JavaBinding *>(binding);
    record->next = static_cast<JavaBinding *>(stream->javaBindings);
    stream->javaBindings = record;
}

} // namespace

void DropJavaBindings(void *bindings)
{
    auto *binding = static_cast<JavaBinding *>(bindings);
    while (binding != nullptr) {
        JavaBinding *next = binding->next;
        FreeJavaBinding(binding);
        binding = next;
    }
}

int32_t ResolveJavaFile(const void *object, JavaFileObject *out)
{
    JNIEnv *env = currentEnv();
    if (env == nullptr)
        return VELM_ERROR_NOTAVAIL;
    if (object == nullptr)
        return VELM_ERROR_ILLPARAM;
    auto *ref = static_cast<jobject>(const_cast<void *>(object));
    jclass stringClass = env->FindClass("java/lang/String");
    bool isString = stringClass != nullptr && env->IsInstanceOf(ref, stringClass);
    if (stringClass != nullptr)
        env->DeleteLocalRef(stringClass);
    clearException(env);
    if (isString) {
        out->path = TextFromJavaString(env, ref);
        return out->path != nullptr ? VELM_OK : VELM_ERROR_ILLPARAM;
    }
    void *address = env->GetDirectBufferAddress(ref);
    jlong capacity = env->GetDirectBufferCapacity(ref);
    clearException(env);
    if (address == nullptr || capacity < 0)
        return VELM_ERROR_ILLPARAM; // not a direct buffer
    // The buffer's memory lives as long as the object: hold it while the file is open.
    out->keep = keep(env, ref);
    if (out->keep == nullptr) {
        clearException(env);
        return VELM_ERROR_MEM;
    }
    out->data = static_cast<const uint8_t *>(address);
    out->capacity = static_cast<uint64_t>(capacity);
    return VELM_OK;
}

void ReleaseJavaObject(void *global)
{
    JNIEnv *env = currentEnv();
    if (env != nullptr)
        drop(env, static_cast<jobject>(global));
}

uint32_t JavaGlobalRefCount()
{
    return globalRefs.load();
}

OwnedText TextFromJavaString(void *envPointer, void *string)
{
    auto *env = static_cast<JNIEnv *>(envPointer);
    if (env == nullptr || string == nullptr)
        return nullptr;
    auto *javaString = static_cast<jstring>(string);
    jsize count = env->GetStringLength(javaString);
    if (count < 0 || static_cast<size_t>(count) > (SIZE_MAX - 1) / 3)
        return nullptr;
    // At most 3 bytes per UTF-16 unit (a surrogate pair takes 4 for 2), and the NUL.
    auto *units = static_cast<jchar *>(malloc((static_cast<size_t>(count) + 1) * sizeof(jchar)));
    OwnedText text(static_cast<char *>(malloc(static_cast<size_t>(count) * 3 + 1)));
    if (units == nullptr || text == nullptr) {
        free(units);
        return nullptr;
    }
    env->GetStringRegion(javaString, 0, count, units);
    char *out = text.get();
    for (jsize i = 0; i < count; ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate
        }
        if (cp == 0) { // a NUL cannot pass through C text
            free(units);
            return nullptr;
        }
        if (cp < 0x80) {
            *out++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out++ = static_cast<char>(0xC0 | (cp >> 6));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (cp >> 12));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (cp >> 18));
            *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    *out = '\0';
    free(units);
    return text;
}

#else // no JNI headers: this host has no Java

namespace {

void *GetJavaEnv()
{
    return nullptr;
}
void *NewJavaString(void *, const char *)
{
    return nullptr;
}
void *WrapJavaDownloadProc(void *, void *, void *, VELM_DOWNLOADPROC **nativeProc)
{
    if (nativeProc != nullptr)
        *nativeProc = nullptr;
    return nullptr;
}
void *WrapJavaFileProcs(void *, void *, void *, const VELM_FILEPROCS **nativeProcs)
{
    if (nativeProcs != nullptr)
        *nativeProcs = nullptr;
    return nullptr;
}
void FreeJavaBinding(void *) {}
void AttachJavaBinding(void *, uint32_t, void *) {}

} // namespace

void DropJavaBindings(void *) {}
int32_t ResolveJavaFile(const void *, JavaFileObject *)
{
    return VELM_ERROR_NOTAVAIL;
}
void ReleaseJavaObject(void *) {}
uint32_t JavaGlobalRefCount()
{
    return 0;
}

#endif

const HostJavaFunctions hostJavaFunctions = {
    GetJavaEnv,           NewJavaString,     nullptr,         nullptr,
    WrapJavaDownloadProc, WrapJavaFileProcs, FreeJavaBinding, AttachJavaBinding,
};

} // namespace velm

#ifdef VELM_WITH_JAVA
// Runs when Java loads this library (System.loadLibrary("velm")).
extern "C" VELM_API jint JNI_OnLoad(JavaVM *vm, void *)
{
    velm::javaVm.store(vm);
    return JNI_VERSION_1_6;
}
#endif
