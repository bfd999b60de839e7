/*
 * Start-up and shut-down of the add-on, its configuration options and its
 * plug-in entry.
 */
#include <stdio.h>

#include "convert/filter.h"
#include "create/stream_create.h"
#include "host/host.h"
#include "velmdsd.h"

const HostFunctions *hostFunctions = nullptr;
const HostJavaFunctions *hostJavaFunctions = nullptr;
uint32_t startFailed = 0;

/* Initialised data: these hold their defaults before start-up runs. */
uint32_t defaultRate = 44100;
int32_t defaultGain = 6;
uint32_t defaultQuality = 0;

static const PluginFormat pluginFormats[] = {
    {CTYPE_DSD, "Direct Stream Digital", "*.dff;*.dsf"},
};

static const PluginInfo pluginInfo = {PLUGIN_VERSION, 1, pluginFormats};

void AddonLoad(void)
{
    uint32_t version = VELM_GetVersion();
    hostFunctions = static_cast<const HostFunctions *>(VELM_GetConfigPtr(VELM_CONFIG_ADDON));
    /* Only major and minor must match: every 2.4 build serves. */
    startFailed = (hostFunctions == nullptr || (version >> 16) != 0x0204) ? 1 : 0;
    hostJavaFunctions = static_cast<const HostJavaFunctions *>(VELM_GetConfigPtr(VELM_CONFIG_JAVA));
    if (hostJavaFunctions == nullptr)
        startFailed = 1;
    if (startFailed) {
        fputs("VELMDSD: Incorrect VELM version (2.4 is required)\n", stderr);
        return;
    }
    hostFunctions->RegisterConfigHandler(DsdConfigHandler, 0);
    BuildBitReverse();
}

void AddonUnload(void)
{
    if (startFailed == 0 && hostFunctions != nullptr)
        hostFunctions->RegisterConfigHandler(DsdConfigHandler, 1);
}

uint32_t DsdConfigHandler(uint32_t option, uint32_t flags, void *value)
{
    if (flags & 0x2)
        return 0;
    uint32_t *word = static_cast<uint32_t *>(value);
    if (option == DSD_CONFIG_RATE) {
        if (flags & 0x1)
            ConfigStore(&defaultRate, *word);
        else
            *word = ConfigLoad(&defaultRate);
        return 1;
    }
    if (option == DSD_CONFIG_GAIN) {
        if (flags & 0x1)
            ConfigStore(&defaultGain, static_cast<int32_t>(*word));
        else
            *word = static_cast<uint32_t>(ConfigLoad(&defaultGain));
        return 1;
    }
    if (option == DSD_CONFIG_QUALITY) {
        if (flags & 0x1)
            ConfigStore(&defaultQuality, *word);
        else
            *word = ConfigLoad(&defaultQuality);
        return 1;
    }
    return 0;
}

extern "C" VELMDSD_API const void *VELMplugin(uint32_t face)
{
    if (AddonUnusable())
        return nullptr;
    switch (face) {
    case 0:
        return &pluginInfo;
    case 1:
        return reinterpret_cast<const void *>(&PluginCreateProc);
    default:
        return nullptr;
    }
}
