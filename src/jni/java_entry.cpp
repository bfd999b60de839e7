/*
 * The native methods of the Java class com.tremvik.velm.VELMDSD: thin
 * adapters over the exported creation functions. Java callback objects are
 * turned into native procedures by the host; each binding the host makes
 * either goes to the new stream or is freed before the method returns.
 */
#include "host/host.h"
#include "jni/jni_table.h"
#include "velmdsd.h"

#define URL_FLAGS_CLEAR 0x80000000u

/* Hands a binding to the new stream, or drops it when there is none. */
static void SettleBinding(JniEnv *env, uint32_t handle, void *binding)
{
    if (handle != 0)
        hostJavaFunctions->AttachJavaBinding(env, handle, binding);
    else
        hostJavaFunctions->FreeJavaBinding(binding);
}

extern "C" VELMDSD_API int32_t Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFile(
    JniEnv *, JavaRef, JavaRef file, int64_t offset, int64_t length, int32_t flags, int32_t freq)
{
    /* The host's FileOpen resolves the Java object (a path String or a direct ByteBuffer). */
    return static_cast<int32_t>(VELM_DSD_StreamCreateFile(
        VELM_DSD_JAVA_FILE_MARKER, file, static_cast<uint64_t>(offset), static_cast<uint64_t>(length),
        static_cast<uint32_t>(flags), static_cast<uint32_t>(freq)));
}

extern "C" VELMDSD_API int32_t Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateURL(
    JniEnv *env, JavaRef, JavaRef url, int32_t offset, int32_t flags, JavaRef proc, JavaRef user,
    int32_t freq)
{
    /* Before any JNI or Java-table call: the export reports ERROR_VERSION. */
    if (AddonUnusable())
        return static_cast<int32_t>(VELM_DSD_StreamCreateURL(nullptr, 0, 0, nullptr, nullptr, 0));
    /* The JNI has no text for a null String: the export refuses the null URL itself. */
    if (url == nullptr)
        return static_cast<int32_t>(VELM_DSD_StreamCreateURL(nullptr, static_cast<uint32_t>(offset),
                                                             static_cast<uint32_t>(flags) & ~URL_FLAGS_CLEAR,
                                                             nullptr, nullptr, static_cast<uint32_t>(freq)));
    const char *text = env->functions->GetStringUTFChars(env, url, nullptr);
    if (text == nullptr)
        return 0;
    VELM_DOWNLOADPROC *nativeProc = nullptr;
    void *binding = nullptr;
    if (proc != nullptr) {
        binding = hostJavaFunctions->WrapJavaDownloadProc(env, proc, user, &nativeProc);
        if (binding == nullptr) {
            env->functions->ReleaseStringUTFChars(env, url, text);
            return 0;
        }
    }
    uint32_t handle = VELM_DSD_StreamCreateURL(text, static_cast<uint32_t>(offset),
                                               static_cast<uint32_t>(flags) & ~URL_FLAGS_CLEAR, nativeProc,
                                               binding, static_cast<uint32_t>(freq));
    if (binding != nullptr)
        SettleBinding(env, handle, binding);
    env->functions->ReleaseStringUTFChars(env, url, text);
    return static_cast<int32_t>(handle);
}

extern "C" VELMDSD_API int32_t Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser(
    JniEnv *env, JavaRef, int32_t system, int32_t flags, JavaRef procs, JavaRef user, int32_t freq)
{
    if (AddonUnusable())
        return static_cast<int32_t>(VELM_DSD_StreamCreateFileUser(0, 0, nullptr, nullptr, 0));
    const VELM_FILEPROCS *nativeProcs = nullptr;
    void *binding = hostJavaFunctions->WrapJavaFileProcs(env, procs, user, &nativeProcs);
    if (binding == nullptr)
        return 0;
    uint32_t handle =
        VELM_DSD_StreamCreateFileUser(static_cast<uint32_t>(system), static_cast<uint32_t>(flags),
                                      nativeProcs, binding, static_cast<uint32_t>(freq));
    SettleBinding(env, handle, binding);
    return static_cast<int32_t>(handle);
}
