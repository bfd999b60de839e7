/*
 * fake_jni.h - a scriptable JNI environment for unit tests of the add-on's
 * Java code, over the slots the add-on calls (jni/jni_table.h).
 *
 * Every call logs one line to the fake host's log. References are tokens:
 * a Java String passed to GetStringUTFChars is a C string pointer, and
 * NewJavaString results come from the fake host (fake::JavaStringIndex).
 * Clear its state with ResetJni() where fake::Reset() clears the host's.
 */
#ifndef VELMDSD_TESTS_FAKE_JNI_H
#define VELMDSD_TESTS_FAKE_JNI_H

#include <cstdint>
#include <map>
#include <string>

#include "jni/jni_table.h"

namespace fake {

/* The environment; also set as what GetJavaEnv returns by UseJniEnv(). */
JniEnv *Jni();
void UseJniEnv();

/* Makes a call fail (give null, as the JNI does with an exception pending):
   "FindClass", "GetMethodID", "NewObject", "GetStringUTFChars", or
   "GetFieldID:<name>" for one field. */
void FailJni(const std::string &call);

/* The object NewObject made last (null before), and what was set on it:
   numeric fields as the value passed, "commentText" as the JavaStringIndex. */
const void *JniObject();
const std::map<std::string, int32_t> &JniFields();
/* UTF chars handed out by GetStringUTFChars and not released. */
int JniCharsHeld();

void ResetJni();

} // namespace fake

#endif /* VELMDSD_TESTS_FAKE_JNI_H */
