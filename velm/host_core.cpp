// host_core.cpp - version, error codes, handle tables, the add-on tables,
// configuration handlers and plug-ins of the stand-in host.
#include <dlfcn.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host_internal.h"

namespace velm {
namespace {

struct ConfigHandler {
    ConfigHandlerProc *proc;
};

struct Plugin {
    void *library = nullptr;
    PluginCreateProcType *create = nullptr;
    uint32_t handle = 0;
};

// Never destroyed: add-ons unloaded at process exit still call in here after
// the host's own static destructors would have run.
struct State {
    std::mutex lock;
    uint32_t nextHandle = 1;
    std::unordered_map<uint32_t, std::unique_ptr<HostFile>> files;
    std::unordered_map<uint32_t, std::shared_ptr<HostStream>> streams;
    std::vector<ConfigHandler> configHandlers;
    std::vector<Plugin> plugins;
};

State &state()
{
    static State *s = new State;
    return *s;
}

thread_local int32_t errorCode = VELM_OK;
thread_local uint32_t creatingPlugin = 0;

// Streams are shared: a call that found one keeps it alive while it waits
// without the table lock, even if another thread frees the handle meanwhile.
template <typename Ptr> Ptr find(std::unordered_map<uint32_t, Ptr> &table, uint32_t handle)
{
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = table.find(handle);
    return it == table.end() ? nullptr : it->second;
}

template <typename Ptr> Ptr take(std::unordered_map<uint32_t, Ptr> &table, uint32_t handle)
{
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = table.find(handle);
    if (it == table.end())
        return nullptr;
    Ptr record = std::move(it->second);
    table.erase(it);
    return record;
}

template <typename Ptr> uint32_t add(std::unordered_map<uint32_t, Ptr> &table, Ptr record)
{
    std::lock_guard<std::mutex> guard(state().lock);
    uint32_t handle = state().nextHandle++;
    table.emplace(handle, std::move(record));
    return handle;
}

void RegisterConfigHandler(ConfigHandlerProc *handler, uint32_t mode)
{
    if (handler == nullptr)
        return;
    std::lock_guard<std::mutex> guard(state().lock);
    auto &handlers = state().configHandlers;
    auto it = std::find_if(handlers.begin(), handlers.end(),
                           [handler](const ConfigHandler &entry) { return entry.proc == handler; });
    if (mode == 0 && it == handlers.end())
        handlers.push_back(ConfigHandler{handler});
    if (mode == 1 && it != handlers.end())
        handlers.erase(it);
}

// Asks the handlers in registration order; true when one served the option.
bool askConfigHandlers(uint32_t option, uint32_t flags, uint32_t *value)
{
    std::vector<ConfigHandler> handlers;
    {
        std::lock_guard<std::mutex> guard(state().lock);
        handlers = state().configHandlers;
    }
    for (const ConfigHandler &handler : handlers) {
        if (handler.proc(option, flags, value) != 0)
            return true;
    }
    return false;
}

const HostFunctions hostFunctions = {
    SetError,          RegisterConfigHandler,
    CreateStream,      nullptr,
    nullptr,           nullptr,
    nullptr,           nullptr,
    GetStreamPosition, TranslateStreamPosition,
    FileOpen,          FileOpenURL,
    FileOpenUser,      FileClose,
    nullptr,           FileSetStream,
    FileGetFlags,      nullptr,
    FileRead,          FileSeek,
    FileGetPosition,   FileIsEnd,
    nullptr,           FileSetBitrate,
};

// Bytes the C allocator has handed out and not taken back (saturated).
uint32_t heapInUse()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    size_t used = mallinfo2().uordblks;
    return used > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(used);
#else
    return 0;
#endif
}

bool envFlag(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr && value[0] == '1' && value[1] == '\0';
}

} // namespace

void SetError(int32_t code)
{
    errorCode = code;
}
int32_t GetError()
{
    return errorCode;
}

uint32_t NewHandle()
{
    std::lock_guard<std::mutex> guard(state().lock);
    return state().nextHandle++;
}

uint32_t AddFile(std::unique_ptr<HostFile> file)
{
    return add(state().files, std::move(file));
}
HostFile *FindFile(uint32_t handle)
{
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = state().files.find(handle);
    return it == state().files.end() ? nullptr : it->second.get();
}
std::unique_ptr<HostFile> TakeFile(uint32_t handle)
{
    return take(state().files, handle);
}
uint32_t AddStream(std::shared_ptr<HostStream> stream)
{
    return add(state().streams, std::move(stream));
}
std::shared_ptr<HostStream> FindStream(uint32_t handle)
{
    return find(state().streams, handle);
}
std::shared_ptr<HostStream> TakeStream(uint32_t handle)
{
    return take(state().streams, handle);
}

uint32_t CreatingPlugin()
{
    return creatingPlugin;
}

} // namespace velm

using namespace velm;

uint32_t VELM_GetVersion(void)
{
    // VELM_HOST_VERSION (hex, "0x" optional) lets tests pose as another host.
    const char *text = getenv("VELM_HOST_VERSION");
    if (text != nullptr && text[0] != '\0') {
        char *end = nullptr;
        unsigned long long value = strtoull(text, &end, 16);
        if (*end == '\0' && value <= UINT32_MAX)
            return static_cast<uint32_t>(value);
    }
    return VELM_VERSION;
}

void *VELM_GetConfigPtr(uint32_t id)
{
    if (id == VELM_CONFIG_ADDON) {
        SetError(VELM_OK);
        return const_cast<HostFunctions *>(&hostFunctions);
    }
    if (id == VELM_CONFIG_JAVA && !envFlag("VELM_HOST_NO_JAVA")) {
        SetError(VELM_OK);
        return const_cast<HostJavaFunctions *>(&hostJavaFunctions);
    }
    SetError(VELM_ERROR_ILLPARAM);
    return nullptr;
}

int32_t VELM_ErrorGetCode(void)
{
    return GetError();
}

uint32_t VELM_SetConfig(uint32_t option, uint32_t value)
{
    if (!SetNetOption(option, value) && !askConfigHandlers(option, 1, &value)) {
        SetError(VELM_ERROR_ILLTYPE);
        return 0;
    }
    SetError(VELM_OK);
    return 1;
}

uint32_t VELM_GetConfig(uint32_t option)
{
    uint32_t value = 0;
    if (option == VELM_CONFIG_JAVA_REFS || option == VELM_CONFIG_HEAP_USED) {
        SetError(VELM_OK);
        return option == VELM_CONFIG_JAVA_REFS ? JavaGlobalRefCount() : heapInUse();
    }
    if (!GetNetOption(option, &value) && !askConfigHandlers(option, 0, &value)) {
        SetError(VELM_ERROR_ILLTYPE);
        return UINT32_MAX;
    }
    SetError(VELM_OK);
    return value;
}

uint32_t VELM_PluginLoad(const char *path)
{
    if (path == nullptr || path[0] == '\0') {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    // The library's initialisation runs here and may call back into the host,
    // so no lock is held.
    void *library = dlopen(path, RTLD_NOW);
    if (library == nullptr) {
        SetError(VELM_ERROR_FILEOPEN);
        return 0;
    }
    using EntryProc = const void *(uint32_t);
    auto *entry = reinterpret_cast<EntryProc *>(dlsym(library, "VELMplugin"));
    if (entry == nullptr) {
        dlclose(library);
        SetError(VELM_ERROR_FILEOPEN);
        return 0;
    }
    const void *info = entry(0);
    auto *create = reinterpret_cast<PluginCreateProcType *>(const_cast<void *>(entry(1)));
    if (info == nullptr || create == nullptr) {
        dlclose(library);
        SetError(VELM_ERROR_VERSION);
        return 0;
    }
    std::lock_guard<std::mutex> guard(state().lock);
    for (const Plugin &plugin : state().plugins) {
        if (plugin.library == library) { // loaded before, under this or another path
            dlclose(library);            // drops the reference this call added
            SetError(VELM_OK);
            return plugin.handle;
        }
    }
    Plugin plugin;
    plugin.library = library;
    plugin.create = create;
    plugin.handle = state().nextHandle++;
    state().plugins.push_back(plugin);
    SetError(VELM_OK);
    return plugin.handle;
}

uint32_t VELM_StreamCreateFile(uint32_t mem, const void *file, uint64_t offset, uint64_t length,
                               uint32_t flags)
{
    uint32_t source = FileOpen(mem, file, offset, length, flags, 0);
    if (source == 0)
        return 0;
    std::vector<Plugin> plugins;
    {
        std::lock_guard<std::mutex> guard(state().lock);
        plugins = state().plugins;
    }
    for (const Plugin &plugin : plugins) {
        FileSeek(source, 0);
        creatingPlugin = plugin.handle;
        uint32_t handle = plugin.create(source, flags);
        creatingPlugin = 0;
        if (handle == 0)
            continue;
        // The plug-in normally hands the file to the stream itself.
        std::shared_ptr<HostStream> stream = FindStream(handle);
        if (stream == nullptr)
            continue;
        if (stream->file != source)
            FileSetStream(source, handle);
        SetError(VELM_OK);
        return handle;
    }
    FileClose(source);
    SetError(VELM_ERROR_FILEFORM);
    return 0;
}
