/*
 * fake_jni.cpp - the scriptable JNI environment.
 */
#include "fake_jni.h"

#include <cstdarg>
#include <cstdio>
#include <set>

#include "fake_host.h"

namespace fake {
namespace {

char classToken, ctorToken, objectToken;
char fieldTokens[16];
const char *const fieldNames[] = {"timeStampYear",    "timeStampMonth", "timeStampDay", "timeStampHour",
                                  "timeStampMinutes", "cmtType",        "cmtRef",       "commentText"};

struct JniState {
    std::set<std::string> failing;
    const void *object = nullptr;
    std::map<std::string, int32_t> fields;
    int charsHeld = 0;
};

JniState &J()
{
    static JniState state;
    return state;
}

void Logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Logf(const char *fmt, ...)
{
    char line[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    Log().emplace_back(line);
}

bool Fails(const std::string &call)
{
    return J().failing.count(call) != 0;
}

const char *FieldName(JavaId id)
{
    for (size_t i = 0; i < sizeof fieldNames / sizeof fieldNames[0]; i++)
        if (reinterpret_cast<char *>(id) == &fieldTokens[i])
            return fieldNames[i];
    return "?";
}

JavaRef FindClass(JniEnv *, const char *name)
{
    Logf("FindClass(%s)", name);
    return Fails("FindClass") ? nullptr : &classToken;
}

JavaRef NewObject(JniEnv *, JavaRef cls, JavaId ctor, ...)
{
    Logf("NewObject(%s)", cls == &classToken && ctor == reinterpret_cast<JavaId>(&ctorToken) ? "ok" : "bad");
    if (Fails("NewObject"))
        return nullptr;
    J().object = &objectToken;
    return &objectToken;
}

JavaId GetMethodID(JniEnv *, JavaRef cls, const char *name, const char *sig)
{
    Logf("GetMethodID(%s,%s,%s)", cls == &classToken ? "class" : "bad", name, sig);
    return Fails("GetMethodID") ? nullptr : reinterpret_cast<JavaId>(&ctorToken);
}

JavaId GetFieldID(JniEnv *, JavaRef cls, const char *name, const char *sig)
{
    Logf("GetFieldID(%s,%s,%s)", cls == &classToken ? "class" : "bad", name, sig);
    if (Fails(std::string("GetFieldID:") + name))
        return nullptr;
    for (size_t i = 0; i < sizeof fieldNames / sizeof fieldNames[0]; i++)
        if (std::string(name) == fieldNames[i])
            return reinterpret_cast<JavaId>(&fieldTokens[i]);
    return nullptr;
}

void Set(const char *kind, JavaRef obj, JavaId field, int32_t value)
{
    Logf("%s(%s,%s,%d)", kind, obj == &objectToken ? "object" : "bad", FieldName(field), value);
    if (obj == &objectToken && field != nullptr)
        J().fields[FieldName(field)] = value;
}

void SetObjectField(JniEnv *, JavaRef obj, JavaId field, JavaRef value)
{
    Set("SetObjectField", obj, field, static_cast<int32_t>(JavaStringIndex(value)));
}
void SetByteField(JniEnv *, JavaRef obj, JavaId field, int8_t value)
{
    Set("SetByteField", obj, field, value);
}
void SetShortField(JniEnv *, JavaRef obj, JavaId field, int16_t value)
{
    Set("SetShortField", obj, field, value);
}

const char *GetStringUTFChars(JniEnv *, JavaRef str, uint8_t *)
{
    Logf("GetStringUTFChars(\"%s\")", static_cast<const char *>(str));
    if (Fails("GetStringUTFChars"))
        return nullptr;
    J().charsHeld++;
    return static_cast<const char *>(str);
}

void ReleaseStringUTFChars(JniEnv *, JavaRef str, const char *chars)
{
    Logf("ReleaseStringUTFChars(%s)", str == chars ? "ok" : "mismatch");
    J().charsHeld--;
}

JniFunctions MakeTable()
{
    JniFunctions t{};
    t.FindClass = FindClass;
    t.NewObject = NewObject;
    t.GetMethodID = GetMethodID;
    t.GetFieldID = GetFieldID;
    t.SetObjectField = SetObjectField;
    t.SetByteField = SetByteField;
    t.SetShortField = SetShortField;
    t.GetStringUTFChars = GetStringUTFChars;
    t.ReleaseStringUTFChars = ReleaseStringUTFChars;
    return t;
}

} // namespace

JniEnv *Jni()
{
    static const JniFunctions table = MakeTable();
    static JniEnv env = {&table};
    return &env;
}

void UseJniEnv()
{
    SetJavaEnv(Jni());
}
void FailJni(const std::string &call)
{
    J().failing.insert(call);
}
const void *JniObject()
{
    return J().object;
}
const std::map<std::string, int32_t> &JniFields()
{
    return J().fields;
}
int JniCharsHeld()
{
    return J().charsHeld;
}
void ResetJni()
{
    J() = JniState();
}

} // namespace fake
