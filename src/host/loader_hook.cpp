/*
 * Runs start-up and shut-down from the dynamic loader's initialisation and
 * finalisation arrays. Compiled only into the shared library, so that tests
 * linking the core can drive start-up themselves.
 */
#include "host/host.h"

__attribute__((section(".init_array"), used)) static void (*const addonLoadHook)(void) = AddonLoad;
__attribute__((section(".fini_array"), used)) static void (*const addonUnloadHook)(void) = AddonUnload;
