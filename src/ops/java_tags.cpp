/*
 * The Java form of tags: artist and title as Java Strings, a comment as an
 * object of the Java class below. Everything made here is a local reference
 * of the calling thread, handed to the caller.
 *
 * A JNI call that fails leaves its exception pending and gives null; the
 * object is then abandoned and null returned, so that no field is ever set
 * through a null identifier or on a null object.
 */
#include <stdlib.h>
#include <string.h>

#include "host/host.h"
#include "jni/jni_table.h"
#include "ops/operations.h"

#define COMMENT_CLASS "com/tremvik/velm/VELMDSD$TAG_DSD_COMMENT"

struct NumberField {
    const char *name;
    const char *sig; /* "S" short or "B" byte */
    uint16_t (*value)(const DsdComment *c);
};

/* The numeric members in the order they are set. Values pass as bit patterns. */
static const NumberField numberFields[] = {
    {"timeStampYear", "S", [](const DsdComment *c) -> uint16_t { return c->timeStampYear; }},
    {"timeStampMonth", "B", [](const DsdComment *c) -> uint16_t { return c->timeStampMonth; }},
    {"timeStampDay", "B", [](const DsdComment *c) -> uint16_t { return c->timeStampDay; }},
    {"timeStampHour", "B", [](const DsdComment *c) -> uint16_t { return c->timeStampHour; }},
    {"timeStampMinutes", "B", [](const DsdComment *c) -> uint16_t { return c->timeStampMinutes; }},
    {"cmtType", "S", [](const DsdComment *c) -> uint16_t { return c->cmtType; }},
    {"cmtRef", "S", [](const DsdComment *c) -> uint16_t { return c->cmtRef; }},
};

/* A Java String of the comment text; the record's text is not NUL-terminated. */
static JavaRef CommentString(JniEnv *env, const DsdComment *comment)
{
    uint32_t length = comment->commentLength;
    if (static_cast<uint64_t>(length) + 1 > SIZE_MAX) /* no room for the NUL on a 32-bit target */
        return nullptr;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) {
        SetError(ERROR_MEMORY);
        return nullptr;
    }
    memcpy(text, comment->commentText, length);
    text[length] = '\0';
    JavaRef string = hostJavaFunctions->NewJavaString(env, text);
    free(text);
    return string;
}

static JavaRef CommentObject(JniEnv *env, const DsdComment *comment)
{
    if (env == nullptr) { /* no Java environment on this thread: no class either */
        SetError(ERROR_JAVA_CLASS);
        return nullptr;
    }
    const JniFunctions *jni = env->functions;
    JavaRef cls = jni->FindClass(env, COMMENT_CLASS);
    if (cls == nullptr) {
        SetError(ERROR_JAVA_CLASS); /* the lookup's exception stays pending */
        return nullptr;
    }
    JavaId ctor = jni->GetMethodID(env, cls, "<init>", "()V");
    if (ctor == nullptr)
        return nullptr;
    JavaRef object = jni->NewObject(env, cls, ctor);
    if (object == nullptr)
        return nullptr;
    for (const NumberField &f : numberFields) {
        JavaId field = jni->GetFieldID(env, cls, f.name, f.sig);
        if (field == nullptr)
            return nullptr;
        uint16_t value = f.value(comment);
        if (f.sig[0] == 'S')
            jni->SetShortField(env, object, field, static_cast<int16_t>(value));
        else
            jni->SetByteField(env, object, field, static_cast<int8_t>(value));
    }
    JavaId textField = jni->GetFieldID(env, cls, "commentText", "Ljava/lang/String;");
    if (textField == nullptr)
        return nullptr;
    JavaRef text = CommentString(env, comment);
    if (text == nullptr)
        return nullptr;
    jni->SetObjectField(env, object, textField, text);
    return object;
}

const void *DsdJavaTag(const DsdStream *stream, uint32_t type, const void *tag)
{
    (void)stream;
    JniEnv *env = static_cast<JniEnv *>(hostJavaFunctions->GetJavaEnv());
    if (type > TAG_DSD_COMMENT_BASE - 1)
        return CommentObject(env, static_cast<const DsdComment *>(tag));
    if (type == TAG_DSD_ARTIST || type == TAG_DSD_TITLE)
        return hostJavaFunctions->NewJavaString(env, static_cast<const char *>(tag));
    SetError(ERROR_JAVA_TYPE);
    return nullptr;
}
