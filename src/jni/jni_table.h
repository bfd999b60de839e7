/*
 * jni_table.h - the JNI functions the add-on calls, by their slot in the
 * JNI function table.
 *
 * The add-on builds without a JDK and never links a Java runtime: an
 * environment is a pointer to the table the virtual machine (or the host)
 * hands over, and every Java object is an opaque reference. Only the slots
 * named here are ever called; their numbers are fixed by the JNI.
 */
#ifndef VELMDSD_JNI_TABLE_H
#define VELMDSD_JNI_TABLE_H

#include <stddef.h>
#include <stdint.h>

typedef void *JavaRef;             /* jobject, jclass, jstring: a local or global reference */
typedef struct JavaMember *JavaId; /* jmethodID, jfieldID */
struct JniFunctions;

/* JNIEnv: the first word points to the function table. */
struct JniEnv {
    const JniFunctions *functions;
};

struct JniFunctions {
    void *slots0to5[6];
    JavaRef (*FindClass)(JniEnv *env, const char *name); /* 6 */
    void *slots7to27[21];
    JavaRef (*NewObject)(JniEnv *env, JavaRef cls, JavaId ctor, ...); /* 28 */
    void *slots29to32[4];
    JavaId (*GetMethodID)(JniEnv *env, JavaRef cls, const char *name, const char *sig); /* 33 */
    void *slots34to93[60];
    JavaId (*GetFieldID)(JniEnv *env, JavaRef cls, const char *name, const char *sig); /* 94 */
    void *slots95to103[9];
    void (*SetObjectField)(JniEnv *env, JavaRef obj, JavaId field, JavaRef value); /* 104 */
    void *slot105;
    void (*SetByteField)(JniEnv *env, JavaRef obj, JavaId field, int8_t value); /* 106 */
    void *slot107;
    void (*SetShortField)(JniEnv *env, JavaRef obj, JavaId field, int16_t value); /* 108 */
    void *slots109to168[60];
    /* Modified UTF-8; isCopy may be null. Null when out of memory (exception pending). */
    const char *(*GetStringUTFChars)(JniEnv *env, JavaRef str, uint8_t *isCopy); /* 169 */
    void (*ReleaseStringUTFChars)(JniEnv *env, JavaRef str, const char *chars);  /* 170 */
};

#define VELMDSD_JNI_SLOT(field, n)                                                                           \
    static_assert(offsetof(JniFunctions, field) == (n) * sizeof(void *), #field)
VELMDSD_JNI_SLOT(FindClass, 6);
VELMDSD_JNI_SLOT(NewObject, 28);
VELMDSD_JNI_SLOT(GetMethodID, 33);
VELMDSD_JNI_SLOT(GetFieldID, 94);
VELMDSD_JNI_SLOT(SetObjectField, 104);
VELMDSD_JNI_SLOT(SetByteField, 106);
VELMDSD_JNI_SLOT(SetShortField, 108);
VELMDSD_JNI_SLOT(GetStringUTFChars, 169);
VELMDSD_JNI_SLOT(ReleaseStringUTFChars, 170);
static_assert(sizeof(JniFunctions) == 171 * sizeof(void *), "JniFunctions ends after slot 170");
static_assert(offsetof(JniEnv, functions) == 0 && sizeof(JniEnv) == sizeof(void *), "JNIEnv is one pointer");
#undef VELMDSD_JNI_SLOT

#endif /* VELMDSD_JNI_TABLE_H */
