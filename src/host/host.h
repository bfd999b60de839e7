/*
 * host.h - the add-on's binding to its host.
 *
 * The tables fetched at start-up and the start-up state. Every call into the
 * host goes through these tables; unit tests substitute a scripted host by
 * providing VELM_GetVersion and VELM_GetConfigPtr themselves.
 */
#ifndef VELMDSD_HOST_H
#define VELMDSD_HOST_H

#include <stdint.h>

#include "host/host_api.h"

extern "C" {
/* Linked from the host library. */
uint32_t VELM_GetVersion(void);
void *VELM_GetConfigPtr(uint32_t id);
}

extern const HostFunctions *hostFunctions;
extern const HostJavaFunctions *hostJavaFunctions;
extern uint32_t startFailed;

/* Configuration values: one aligned word each, read once per creation, accessed
   with relaxed atomic loads and stores so that the host may set them from any thread. */
extern uint32_t defaultRate;
extern int32_t defaultGain;
extern uint32_t defaultQuality; /* nonzero: PCM streams use the high-quality converter */

template <typename T> static inline T ConfigLoad(const T *word)
{
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}

template <typename T> static inline void ConfigStore(T *word, T value)
{
    __atomic_store_n(word, value, __ATOMIC_RELAXED);
}

#define DSD_CONFIG_RATE VELM_DSD_CONFIG_RATE
#define DSD_CONFIG_GAIN VELM_DSD_CONFIG_GAIN
#define GAIN_MIN_DB VELM_DSD_GAIN_MIN
#define GAIN_MAX_DB VELM_DSD_GAIN_MAX
#define DSD_CONFIG_QUALITY VELM_DSD_CONFIG_QUALITY
#define CTYPE_DSD VELM_CTYPE_DSD
#define PLUGIN_VERSION 0x02040001u

void AddonLoad(void);
void AddonUnload(void);
uint32_t DsdConfigHandler(uint32_t option, uint32_t flags, void *value);

/*
 * True when the add-on cannot serve an entry: start-up failed, or never ran.
 * The caller reports ERROR_VERSION when there is a host to report to.
 */
static inline bool AddonUnusable(void)
{
    return startFailed != 0 || hostFunctions == nullptr;
}

static inline void SetError(int32_t code)
{
    hostFunctions->SetError(code);
}

#endif /* VELMDSD_HOST_H */
