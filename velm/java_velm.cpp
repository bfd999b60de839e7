// java_velm.cpp - the native methods of the Java class com.tremvik.velm.VELM:
// the application interface for Java programs. Java ints carry the unsigned
// 32-bit values bit for bit, Java longs the 64-bit ones (all ones is -1).
#ifdef VELM_WITH_JAVA
#include <jni.h>
#include <string.h>

#include "host_internal.h"

namespace {

constexpr uint32_t kTagJavaObject = 0x80000000u;
constexpr uint32_t kTagId3v2 = 1;
constexpr uint32_t kTagCommentFirst = 0x13100u, kTagCommentLast = 0x131FFu;

// Bytes of a plain tag: an ID3v2 tag by its header (header and body), a DSD comment
// by its 14-byte header and text length, anything else as NUL-terminated text.
uint64_t tagSize(uint32_t type, const uint8_t *tag)
{
    if (type == kTagId3v2) {
        uint64_t body = (uint64_t{tag[6] & 0x7Fu} << 21) | ((tag[7] & 0x7Fu) << 14) |
                        ((tag[8] & 0x7Fu) << 7) | (tag[9] & 0x7Fu);
        return 10 + body;
    }
    if (type >= kTagCommentFirst && type <= kTagCommentLast) {
        uint32_t textLength;
        memcpy(&textLength, tag + 10, sizeof textLength);
        return 14 + uint64_t{textLength};
    }
    return strlen(reinterpret_cast<const char *>(tag));
}

jboolean toBoolean(uint32_t value)
{
    return value != 0 ? JNI_TRUE : JNI_FALSE;
}

} // namespace

using namespace velm;

extern "C" {

VELM_API jint Java_com_tremvik_velm_VELM_VELM_1ErrorGetCode(JNIEnv *, jclass)
{
    return VELM_ErrorGetCode();
}

VELM_API jint Java_com_tremvik_velm_VELM_VELM_1GetVersion(JNIEnv *, jclass)
{
    return static_cast<jint>(VELM_GetVersion());
}

VELM_API jboolean Java_com_tremvik_velm_VELM_VELM_1SetConfig(JNIEnv *, jclass, jint option, jint value)
{
    return toBoolean(VELM_SetConfig(static_cast<uint32_t>(option), static_cast<uint32_t>(value)));
}

VELM_API jint Java_com_tremvik_velm_VELM_VELM_1GetConfig(JNIEnv *, jclass, jint option)
{
    return static_cast<jint>(VELM_GetConfig(static_cast<uint32_t>(option)));
}

VELM_API jint Java_com_tremvik_velm_VELM_VELM_1PluginLoad(JNIEnv *env, jclass, jstring path)
{
    OwnedText text = TextFromJavaString(env, path);
    if (text == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    return static_cast<jint>(VELM_PluginLoad(text.get()));
}

// True for a buffer that Java code may not write, such as the views VELM_ChannelGetTags gives;
// their direct address still points at writable native memory.
static bool readOnlyBuffer(JNIEnv *env, jobject buffer)
{
    jclass cls = env->GetObjectClass(buffer);
    jmethodID isReadOnly = cls != nullptr ? env->GetMethodID(cls, "isReadOnly", "()Z") : nullptr;
    jboolean result = isReadOnly != nullptr ? env->CallBooleanMethod(buffer, isReadOnly) : JNI_TRUE;
    if (cls != nullptr)
        env->DeleteLocalRef(cls);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return true;
    }
    return result != JNI_FALSE;
}

// The data goes to the start of a writable direct buffer, at most its capacity. Nothing to
// write into is a parameter error: a count of 0 would read as "call again" for ever.
VELM_API jint Java_com_tremvik_velm_VELM_VELM_1ChannelGetData(JNIEnv *env, jclass, jint handle,
                                                              jobject buffer, jint length)
{
    void *address = buffer != nullptr ? env->GetDirectBufferAddress(buffer) : nullptr;
    jlong capacity = buffer != nullptr ? env->GetDirectBufferCapacity(buffer) : -1;
    if (address == nullptr || capacity <= 0 || length <= 0 || readOnlyBuffer(env, buffer)) {
        SetError(VELM_ERROR_ILLPARAM);
        return -1;
    }
    uint32_t want = static_cast<uint32_t>(length < capacity ? length : capacity);
    return static_cast<jint>(VELM_ChannelGetData(static_cast<uint32_t>(handle), address, want));
}

VELM_API jlong Java_com_tremvik_velm_VELM_VELM_1ChannelGetLength(JNIEnv *, jclass, jint handle, jint mode)
{
    return static_cast<jlong>(
        VELM_ChannelGetLength(static_cast<uint32_t>(handle), static_cast<uint32_t>(mode)));
}

VELM_API jboolean Java_com_tremvik_velm_VELM_VELM_1ChannelSetPosition(JNIEnv *, jclass, jint handle,
                                                                      jlong pos, jint mode)
{
    return toBoolean(VELM_ChannelSetPosition(static_cast<uint32_t>(handle), static_cast<uint64_t>(pos),
                                             static_cast<uint32_t>(mode)));
}

VELM_API jlong Java_com_tremvik_velm_VELM_VELM_1ChannelGetPosition(JNIEnv *, jclass, jint handle, jint mode)
{
    return static_cast<jlong>(
        VELM_ChannelGetPosition(static_cast<uint32_t>(handle), static_cast<uint32_t>(mode)));
}

// A Java-form request gives the object the add-on built (with any exception it
// left pending); a plain one a read-only direct ByteBuffer over the tag bytes.
VELM_API jobject Java_com_tremvik_velm_VELM_VELM_1ChannelGetTags(JNIEnv *env, jclass, jint handle, jint type)
{
    uint32_t tagType = static_cast<uint32_t>(type);
    const void *tag = VELM_ChannelGetTags(static_cast<uint32_t>(handle), tagType);
    if (tag == nullptr)
        return nullptr;
    if ((tagType & kTagJavaObject) != 0)
        return static_cast<jobject>(const_cast<void *>(tag));
    uint64_t size = tagSize(tagType, static_cast<const uint8_t *>(tag));
    if (size > static_cast<uint64_t>(INT32_MAX))
        return nullptr;
    jobject buffer = env->NewDirectByteBuffer(const_cast<void *>(tag), static_cast<jlong>(size));
    if (buffer == nullptr)
        return nullptr;
    jclass cls = env->GetObjectClass(buffer);
    jmethodID readOnly = env->GetMethodID(cls, "asReadOnlyBuffer", "()Ljava/nio/ByteBuffer;");
    return readOnly != nullptr ? env->CallObjectMethod(buffer, readOnly) : nullptr;
}

VELM_API jboolean Java_com_tremvik_velm_VELM_VELM_1ChannelGetAttribute(JNIEnv *env, jclass, jint handle,
                                                                       jint attrib, jfloatArray value)
{
    if (value == nullptr || env->GetArrayLength(value) < 1) {
        SetError(VELM_ERROR_ILLPARAM);
        return JNI_FALSE;
    }
    float got = 0;
    uint32_t ok =
        VELM_ChannelGetAttribute(static_cast<uint32_t>(handle), static_cast<uint32_t>(attrib), &got);
    if (ok != 0)
        env->SetFloatArrayRegion(value, 0, 1, &got);
    return toBoolean(ok);
}

VELM_API jboolean Java_com_tremvik_velm_VELM_VELM_1ChannelSetAttribute(JNIEnv *, jclass, jint handle,
                                                                       jint attrib, jfloat value)
{
    return toBoolean(
        VELM_ChannelSetAttribute(static_cast<uint32_t>(handle), static_cast<uint32_t>(attrib), value));
}

VELM_API jboolean Java_com_tremvik_velm_VELM_VELM_1StreamFree(JNIEnv *, jclass, jint handle)
{
    return toBoolean(VELM_StreamFree(static_cast<uint32_t>(handle)));
}

} // extern "C"

#endif // VELM_WITH_JAVA
