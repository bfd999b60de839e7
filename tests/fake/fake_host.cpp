/*
 * fake_host.cpp - the scriptable host tables for unit tests.
 */
#include "fake_host.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace fake {
namespace {

constexpr uint32_t JAVA_FILE_MARKER = 0x11111111u;
constexpr size_t JAVA_TOKEN_COUNT = 4096;

struct OpenFile {
    Source src;
    uint64_t pos = 0;
    bool closed = false;
    uint32_t owner = 0;
    Bitrate bitrate;
    bool isUser = false; /* read through user procedures */
    VELM_FILEPROCS procs{};
    void *userPtr = nullptr;
    bool userEnd = false; /* a user read came back short */
};

char javaBindingDummy;
char javaStringTokens[JAVA_TOKEN_COUNT];

struct State {
    uint32_t version = VELM_VERSION;
    bool hostPresent = true;
    bool javaPresent = true;
    std::vector<std::string> log;
    size_t badHandles = 0;
    int32_t lastError = 0;
    std::vector<int32_t> errors;
    ConfigHandlerProc *handler = nullptr;
    std::map<uint32_t, OpenFile> files;
    uint32_t nextFile = 1;
    uint32_t lastFile = 0;
    std::map<std::string, Source> paths;
    std::map<const void *, Source> javaFiles;
    std::vector<OpenCall> opens;
    bool createFails = false;
    int32_t createFailCode = 0;
    std::map<uint32_t, Stream> streams;
    uint32_t nextStream = FIRST_STREAM_HANDLE;
    uint32_t lastStream = 0;
    void *javaEnv = nullptr;
    std::vector<std::string> javaStrings;
    void *javaBinding = &javaBindingDummy;
    std::vector<JavaCall> javaCalls;
    uint64_t faultAt = 0; /* 0: no fault armed */
    uint32_t faultKinds = 0;
    bool faultPersistent = false;
    uint64_t faultCalls = 0;
    uint32_t faultsFired = 0;
};

State &S()
{
    static State state;
    return state;
}

__attribute__((format(printf, 1, 2))) void Logf(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    S().log.push_back(FormatV(fmt, args));
    va_end(args);
}

/* A 64-bit value for the log: all ones reads as -1. */
std::string U64(uint64_t v)
{
    if (v == UINT64_MAX)
        return "-1";
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, v);
    return text;
}

const char *BindingName(const void *binding)
{
    static char text[32];
    if (binding == nullptr)
        return "null";
    if (binding == &javaBindingDummy)
        return "default";
    snprintf(text, sizeof text, "%p", binding);
    return text;
}

/* The open file behind a handle, or null (counted as a bad call). */
OpenFile *Live(uint32_t file)
{
    auto it = S().files.find(file);
    if (it == S().files.end() || it->second.closed) {
        ++S().badHandles;
        return nullptr;
    }
    return &it->second;
}

OpenFile &Known(uint32_t file)
{
    auto it = S().files.find(file);
    if (it == S().files.end()) {
        fprintf(stderr, "fake host: file handle %u was never given out\n", file);
        abort();
    }
    return it->second;
}

uint32_t NewFile(OpenFile f)
{
    uint32_t handle = S().nextFile++;
    S().files.emplace(handle, std::move(f));
    S().lastFile = handle;
    return handle;
}

/* The host sets its own error code; not one of the add-on's SetError calls. */
void HostError(int32_t code)
{
    S().lastError = code;
}

/* Bytes [offset, offset + length) of a source; length 0 means to the end. */
Source Window(Source src, uint64_t offset, uint64_t length)
{
    uint64_t size = src.data.size();
    uint64_t begin = std::min(offset, size);
    uint64_t end = length == 0 || length > size - begin ? size : begin + length;
    src.data = std::vector<uint8_t>(src.data.begin() + static_cast<ptrdiff_t>(begin),
                                    src.data.begin() + static_cast<ptrdiff_t>(end));
    return src;
}

void CloseFile(OpenFile &f)
{
    if (f.isUser && f.procs.close != nullptr)
        f.procs.close(f.userPtr);
    f.closed = true;
}

/* GetStreamPosition hands out delivered + this, so that only TranslateStreamPosition
   on the same stream turns it back into a byte count. */
uint64_t PositionBias(uint32_t handle)
{
    return static_cast<uint64_t>(handle) << 40;
}

/* ---- HostFunctions ---- */

void SetErrorImpl(int32_t code)
{
    Logf("SetError(%d)", code);
    S().lastError = code;
    S().errors.push_back(code);
}

void RegisterConfigHandlerImpl(ConfigHandlerProc *handler, uint32_t mode)
{
    Logf("RegisterConfigHandler(%u)", mode);
    if (mode == 0)
        S().handler = handler;
    else if (mode == 1 && S().handler == handler)
        S().handler = nullptr;
}

uint32_t CreateStreamImpl(uint32_t freq, uint32_t chans, uint32_t flags, StreamReadProc *proc, void *user,
                          const OperationsTable *ops)
{
    if (S().createFails) {
        Logf("CreateStream(%u,%u,0x%x)=0", freq, chans, flags);
        HostError(S().createFailCode);
        return 0;
    }
    uint32_t handle = S().nextStream++;
    Stream s{};
    s.freq = freq;
    s.chans = chans;
    s.flags = flags;
    s.proc = proc;
    s.user = user;
    s.ops = ops;
    S().streams.emplace(handle, s);
    S().lastStream = handle;
    Logf("CreateStream(%u,%u,0x%x)=%u", freq, chans, flags, handle);
    return handle;
}

uint64_t GetStreamPositionImpl(uint32_t handle, uint32_t mode)
{
    Stream *s = GetStream(handle);
    uint64_t result = UINT64_MAX;
    if (s == nullptr)
        ++S().badHandles;
    else if (mode == 0)
        result = s->delivered + PositionBias(handle);
    Logf("GetStreamPosition(%u,%u)=%s", handle, mode, U64(result).c_str());
    return result;
}

uint64_t TranslateStreamPositionImpl(uint32_t handle, uint32_t mode, uint64_t value, uint32_t mode2)
{
    Stream *s = GetStream(handle);
    uint64_t result = UINT64_MAX;
    uint64_t bias = PositionBias(handle);
    if (s == nullptr)
        ++S().badHandles;
    else if (mode == 0 && mode2 == 0 && value - bias < (uint64_t{1} << 40)) /* wraps when below */
        result = value - bias;
    Logf("TranslateStreamPosition(%u,%u,%s,%u)=%s", handle, mode, U64(value).c_str(), mode2,
         U64(result).c_str());
    return result;
}

uint32_t FileOpenImpl(uint32_t mem, const void *file, uint64_t offset, uint64_t length, uint32_t flags,
                      uint32_t addon)
{
    OpenCall call{.kind = OpenCall::FILE_OPEN,
                  .mem = mem,
                  .file = file,
                  .offset = offset,
                  .length = length,
                  .flags = flags,
                  .addon = addon};

    OpenFile f;
    bool found = false;
    if (mem == JAVA_FILE_MARKER) {
        auto it = S().javaFiles.find(file);
        if (it != S().javaFiles.end()) {
            f.src = Window(it->second, offset, length);
            found = true;
        }
    } else if (mem != 0) {
        if (file != nullptr) {
            const uint8_t *p = static_cast<const uint8_t *>(file) + offset;
            f.src.data.assign(p, p + length);
            found = true;
        }
    } else if (file != nullptr) {
        auto it = S().paths.find(static_cast<const char *>(file));
        if (it != S().paths.end()) {
            f.src = Window(it->second, offset, length);
            found = true;
        }
    }
    if (found)
        call.result = NewFile(std::move(f));
    else
        HostError(VELM_ERROR_FILEOPEN);
    S().opens.push_back(call);
    Logf("FileOpen(0x%x,%s,%s,0x%x,%u)=%u", mem, U64(offset).c_str(), U64(length).c_str(), flags, addon,
         call.result);
    return call.result;
}

uint32_t FileOpenURLImpl(const char *url, uint32_t offset, uint32_t flags, VELM_DOWNLOADPROC *proc,
                         void *user, uint32_t addon)
{
    OpenCall call{.kind = OpenCall::URL_OPEN,
                  .offset = offset,
                  .url = url != nullptr ? url : "",
                  .downloadProc = proc,
                  .user = user,
                  .flags = flags,
                  .addon = addon};
    auto it = url != nullptr ? S().paths.find(url) : S().paths.end();
    if (it != S().paths.end()) {
        OpenFile f;
        f.src = Window(it->second, offset, 0);
        call.result = NewFile(std::move(f));
    } else {
        HostError(VELM_ERROR_FILEOPEN);
    }
    S().opens.push_back(call);
    Logf("FileOpenURL(\"%s\",%u,0x%x,%u)=%u", call.url.c_str(), offset, flags, addon, call.result);
    return call.result;
}

uint32_t FileOpenUserImpl(uint32_t system, uint32_t flags, const VELM_FILEPROCS *procs, void *user,
                          uint32_t addon)
{
    OpenCall call{.kind = OpenCall::USER_OPEN,
                  .system = system,
                  .procs = procs,
                  .user = user,
                  .flags = flags,
                  .addon = addon};
    if (system != 0 || procs == nullptr) {
        HostError(VELM_ERROR_ILLPARAM);
    } else {
        OpenFile f;
        f.isUser = true;
        f.procs = *procs;
        f.userPtr = user;
        call.result = NewFile(std::move(f));
    }
    S().opens.push_back(call);
    Logf("FileOpenUser(%u,0x%x,%u)=%u", system, flags, addon, call.result);
    return call.result;
}

void FileCloseImpl(uint32_t file)
{
    Logf("FileClose(%u)", file);
    if (OpenFile *f = Live(file))
        CloseFile(*f);
}

void FileSetStreamImpl(uint32_t file, uint32_t handle)
{
    Logf("FileSetStream(%u,%u)", file, handle);
    OpenFile *f = Live(file);
    Stream *s = GetStream(handle);
    if (s == nullptr)
        ++S().badHandles;
    if (f == nullptr || s == nullptr)
        return;
    f->owner = handle;
    s->file = file;
}

uint32_t FileGetFlagsImpl(uint32_t file)
{
    OpenFile *f = Live(file);
    uint32_t flags = f != nullptr ? f->src.fileFlags : 0;
    Logf("FileGetFlags(%u)=0x%x", file, flags);
    return flags;
}

int32_t FileReadImpl(uint32_t file, void *buffer, uint32_t length)
{
    OpenFile *f = Live(file);
    if (f == nullptr) {
        Logf("FileRead(%u,%u)=0", file, length);
        return 0;
    }
    if (FaultDue(FAULT_READ)) {
        Logf("FileRead(%u,%u)=0 fault", file, length);
        return 0;
    }
    uint32_t want = std::min<uint32_t>(length, INT32_MAX);
    if (!f->src.readScript.empty()) {
        int32_t forced = f->src.readScript.front();
        f->src.readScript.erase(f->src.readScript.begin());
        if (forced <= 0) {
            Logf("FileRead(%u,%u)=%d", file, length, forced);
            return forced;
        }
        want = std::min(want, static_cast<uint32_t>(forced));
    }
    if (f->src.maxRead != 0)
        want = std::min(want, f->src.maxRead);

    uint32_t got = 0;
    if (f->isUser) {
        got = f->procs.read != nullptr && want != 0 ? f->procs.read(buffer, want, f->userPtr) : 0;
        got = std::min(got, want);
        if (got < want)
            f->userEnd = true;
    } else {
        uint64_t limit = std::min<uint64_t>(f->src.arrived, f->src.data.size());
        uint64_t ready = f->pos < limit ? limit - f->pos : 0;
        got = static_cast<uint32_t>(std::min<uint64_t>(want, ready));
        if (got != 0)
            memcpy(buffer, f->src.data.data() + f->pos, got);
    }
    f->pos += got;
    Logf("FileRead(%u,%u)=%u", file, length, got);
    return static_cast<int32_t>(got);
}

uint32_t FileSeekImpl(uint32_t file, uint64_t pos)
{
    OpenFile *f = Live(file);
    uint32_t ok = 0;
    if (f != nullptr && !f->src.failSeek && !FaultDue(FAULT_SEEK)) {
        if (f->isUser) {
            ok = f->procs.seek != nullptr && f->procs.seek(pos, f->userPtr) != 0;
            if (ok)
                f->userEnd = false;
        } else {
            ok = pos <= f->src.data.size();
        }
        if (ok)
            f->pos = pos;
    }
    Logf("FileSeek(%u,%s)=%u", file, U64(pos).c_str(), ok);
    return ok;
}

uint64_t FileGetPositionImpl(uint32_t file, uint32_t mode)
{
    OpenFile *f = Live(file);
    uint64_t result = UINT64_MAX;
    if (f != nullptr && !FaultDue(FAULT_POSITION)) {
        switch (mode) {
        case 0:
            result = f->pos;
            break;
        case 1:
            result = f->src.available;
            break;
        case 2:
            if (f->src.unknownEnd)
                result = UINT64_MAX;
            else if (f->isUser)
                result = f->procs.length != nullptr ? f->procs.length(f->userPtr) : UINT64_MAX;
            else
                result = f->src.data.size();
            break;
        case 3:
            result = f->src.windowOffset;
            break;
        default:
            break;
        }
    }
    Logf("FileGetPosition(%u,%u)=%s", file, mode, U64(result).c_str());
    return result;
}

uint32_t FileIsEndImpl(uint32_t file)
{
    OpenFile *f = Live(file);
    uint32_t end = 0;
    if (f != nullptr) {
        if (f->isUser)
            end = f->userEnd;
        else
            end = f->src.arrived >= f->src.data.size() && f->pos >= f->src.data.size();
    }
    Logf("FileIsEnd(%u)=%u", file, end);
    return end;
}

void FileSetBitrateImpl(uint32_t file, uint32_t bytesPerSecond, uint32_t offset)
{
    Logf("FileSetBitrate(%u,%u,%u)", file, bytesPerSecond, offset);
    if (OpenFile *f = Live(file)) {
        f->bitrate.set = true;
        f->bitrate.bytesPerSecond = bytesPerSecond;
        f->bitrate.offset = offset;
    }
}

const HostFunctions hostTable = {
    .SetError = SetErrorImpl,
    .RegisterConfigHandler = RegisterConfigHandlerImpl,
    .CreateStream = CreateStreamImpl,
    .reserved3 = nullptr,
    .reserved4 = nullptr,
    .reserved5 = nullptr,
    .reserved6 = nullptr,
    .reserved7 = nullptr,
    .GetStreamPosition = GetStreamPositionImpl,
    .TranslateStreamPosition = TranslateStreamPositionImpl,
    .FileOpen = FileOpenImpl,
    .FileOpenURL = FileOpenURLImpl,
    .FileOpenUser = FileOpenUserImpl,
    .FileClose = FileCloseImpl,
    .reserved14 = nullptr,
    .FileSetStream = FileSetStreamImpl,
    .FileGetFlags = FileGetFlagsImpl,
    .reserved17 = nullptr,
    .FileRead = FileReadImpl,
    .FileSeek = FileSeekImpl,
    .FileGetPosition = FileGetPositionImpl,
    .FileIsEnd = FileIsEndImpl,
    .reserved22 = nullptr,
    .FileSetBitrate = FileSetBitrateImpl,
};

/* ---- HostJavaFunctions ---- */

JavaCall &RecordJava(const char *name, void *env)
{
    JavaCall call;
    call.name = name;
    call.env = env;
    S().javaCalls.push_back(call);
    return S().javaCalls.back();
}

void JavaDownload(const void *, uint32_t length, void *user)
{
    Logf("JavaDownloadProc(%u,%s)", length, BindingName(user));
}

void JavaFileClose(void *) {}
uint64_t JavaFileLength(void *)
{
    return 0;
}
uint32_t JavaFileRead(void *, uint32_t, void *)
{
    return 0;
}
uint32_t JavaFileSeek(uint64_t offset, void *)
{
    return offset == 0;
}

const VELM_FILEPROCS javaFileProcs = {JavaFileClose, JavaFileLength, JavaFileRead, JavaFileSeek};

void *GetJavaEnvImpl()
{
    Logf("GetJavaEnv()");
    RecordJava("GetJavaEnv", nullptr).result = S().javaEnv;
    return S().javaEnv;
}

void *NewJavaStringImpl(void *env, const char *text)
{
    Logf("NewJavaString(\"%s\")", text != nullptr ? text : "(null)");
    size_t index = S().javaStrings.size();
    S().javaStrings.emplace_back(text != nullptr ? text : "");
    void *result = &javaStringTokens[index % JAVA_TOKEN_COUNT];
    RecordJava("NewJavaString", env).result = result;
    return result;
}

/* Logs and records one Wrap* call; the binding it gives is the configured one. */
void *RecordWrap(const char *name, void *env, void *object, void *user)
{
    void *binding = S().javaBinding;
    Logf("%s()=%s", name, BindingName(binding));
    JavaCall &call = RecordJava(name, env);
    call.object = object;
    call.user = user;
    call.result = binding;
    return binding;
}

void *WrapJavaDownloadProcImpl(void *env, void *proc, void *user, VELM_DOWNLOADPROC **nativeProc)
{
    void *binding = RecordWrap("WrapJavaDownloadProc", env, proc, user);
    if (nativeProc != nullptr)
        *nativeProc = binding != nullptr ? JavaDownload : nullptr;
    return binding;
}

void *WrapJavaFileProcsImpl(void *env, void *procs, void *user, const VELM_FILEPROCS **nativeProcs)
{
    void *binding = RecordWrap("WrapJavaFileProcs", env, procs, user);
    if (nativeProcs != nullptr)
        *nativeProcs = binding != nullptr ? &javaFileProcs : nullptr;
    return binding;
}

void FreeJavaBindingImpl(void *binding)
{
    Logf("FreeJavaBinding(%s)", BindingName(binding));
    RecordJava("FreeJavaBinding", nullptr).object = binding;
}

void AttachJavaBindingImpl(void *env, uint32_t handle, void *binding)
{
    Logf("AttachJavaBinding(%u,%s)", handle, BindingName(binding));
    JavaCall &call = RecordJava("AttachJavaBinding", env);
    call.handle = handle;
    call.object = binding;
}

const HostJavaFunctions javaTable = {
    .GetJavaEnv = GetJavaEnvImpl,
    .NewJavaString = NewJavaStringImpl,
    .reserved2 = nullptr,
    .reserved3 = nullptr,
    .WrapJavaDownloadProc = WrapJavaDownloadProcImpl,
    .WrapJavaFileProcs = WrapJavaFileProcsImpl,
    .FreeJavaBinding = FreeJavaBindingImpl,
    .AttachJavaBinding = AttachJavaBindingImpl,
};

} // namespace

/* ---- global state ---- */

void Reset()
{
    S() = State();
}

std::string FormatV(const char *fmt, va_list args)
{
    char text[512];
    vsnprintf(text, sizeof text, fmt, args);
    return text;
}

void ArmFault(uint64_t n, bool persistent, uint32_t kinds)
{
    State &s = S();
    s.faultAt = n;
    s.faultKinds = kinds;
    s.faultPersistent = persistent;
    s.faultCalls = 0;
    s.faultsFired = 0;
}

bool FaultDue(FaultKind kind)
{
    State &s = S();
    if (s.faultAt == 0 || (s.faultKinds & kind) == 0)
        return false;
    s.faultCalls++;
    bool due = s.faultCalls == s.faultAt || (s.faultPersistent && s.faultCalls > s.faultAt);
    if (due)
        s.faultsFired |= kind;
    return due;
}

uint32_t FaultsFired()
{
    return S().faultsFired;
}
void SetVersion(uint32_t version)
{
    S().version = version;
}
void SetHostTable(bool present)
{
    S().hostPresent = present;
}
void SetJavaTable(bool present)
{
    S().javaPresent = present;
}
const HostFunctions *HostTable()
{
    return &hostTable;
}
const HostJavaFunctions *JavaTable()
{
    return &javaTable;
}

/* ---- call log ---- */

std::vector<std::string> &Log()
{
    return S().log;
}
void ClearLog()
{
    S().log.clear();
}

size_t CountCalls(const char *prefix)
{
    size_t n = strlen(prefix);
    return static_cast<size_t>(std::count_if(S().log.begin(), S().log.end(), [&](const std::string &line) {
        return line.compare(0, n, prefix) == 0;
    }));
}

std::string LogText()
{
    std::string text;
    for (const std::string &line : S().log)
        text += line + "\n";
    return text;
}

size_t BadHandleCalls()
{
    return S().badHandles;
}

/* ---- errors and configuration ---- */

int32_t LastError()
{
    return S().lastError;
}
size_t SetErrorCount()
{
    return S().errors.size();
}
const std::vector<int32_t> &Errors()
{
    return S().errors;
}
ConfigHandlerProc *ConfigHandler()
{
    return S().handler;
}

/* ---- sources ---- */

uint32_t AddSource(Source source)
{
    OpenFile f;
    f.src = std::move(source);
    return NewFile(std::move(f));
}

void RegisterPath(const char *path, Source source)
{
    S().paths[path] = std::move(source);
}
void RegisterJavaFile(const void *object, Source source)
{
    S().javaFiles[object] = std::move(source);
}
Source &GetSource(uint32_t file)
{
    return Known(file).src;
}
uint64_t Position(uint32_t file)
{
    return Known(file).pos;
}
bool IsClosed(uint32_t file)
{
    return Known(file).closed;
}
uint32_t OwnerStream(uint32_t file)
{
    return Known(file).owner;
}
Bitrate GetBitrate(uint32_t file)
{
    return Known(file).bitrate;
}
uint32_t LastFile()
{
    return S().lastFile;
}

size_t OpenFileCount()
{
    return static_cast<size_t>(std::count_if(S().files.begin(), S().files.end(),
                                             [](const auto &entry) { return !entry.second.closed; }));
}

const std::vector<OpenCall> &OpenCalls()
{
    return S().opens;
}

/* ---- streams ---- */

void SetCreateStreamFails(int32_t code)
{
    S().createFails = true;
    S().createFailCode = code;
}

Stream *GetStream(uint32_t handle)
{
    auto it = S().streams.find(handle);
    return it != S().streams.end() ? &it->second : nullptr;
}

uint32_t LastStream()
{
    return S().lastStream;
}

uint32_t Read(uint32_t handle, void *buf, uint32_t len)
{
    Stream *s = GetStream(handle);
    if (s == nullptr || s->released || s->proc == nullptr) {
        ++S().badHandles;
        return 0;
    }
    uint32_t result = s->proc(handle, buf, len, s->user);
    s->delivered += result & ~STREAM_READ_END;
    return result;
}

void SetDelivered(uint32_t handle, uint64_t value)
{
    if (Stream *s = GetStream(handle))
        s->delivered = value;
}

void FreeStream(uint32_t handle)
{
    Logf("FreeStream(%u)", handle);
    Stream *s = GetStream(handle);
    if (s == nullptr || s->released) {
        ++S().badHandles;
        return;
    }
    if (s->ops != nullptr && s->ops->release != nullptr)
        s->ops->release(s->user);
    s->released = true;
    auto it = S().files.find(s->file);
    if (it != S().files.end() && !it->second.closed)
        CloseFile(it->second);
}

/* ---- Java ---- */

void SetJavaEnv(void *env)
{
    S().javaEnv = env;
}
const std::vector<std::string> &JavaStrings()
{
    return S().javaStrings;
}

long JavaStringIndex(const void *javaString)
{
    const char *p = static_cast<const char *>(javaString);
    if (p < javaStringTokens || p >= javaStringTokens + JAVA_TOKEN_COUNT)
        return -1;
    size_t slot = static_cast<size_t>(p - javaStringTokens);
    size_t count = S().javaStrings.size();
    if (slot >= count)
        return -1;
    /* The newest string that was given this token. */
    return static_cast<long>(slot + (count - 1 - slot) / JAVA_TOKEN_COUNT * JAVA_TOKEN_COUNT);
}

void SetJavaBinding(void *binding)
{
    S().javaBinding = binding;
}
void *DefaultJavaBinding()
{
    return &javaBindingDummy;
}
VELM_DOWNLOADPROC *JavaNativeDownloadProc()
{
    return JavaDownload;
}
const VELM_FILEPROCS *JavaNativeFileProcs()
{
    return &javaFileProcs;
}
const std::vector<JavaCall> &JavaCalls()
{
    return S().javaCalls;
}

} // namespace fake

/* The host exports the add-on core links against. */
extern "C" uint32_t VELM_GetVersion(void)
{
    fake::Logf("VELM_GetVersion()=0x%08x", fake::S().version);
    return fake::S().version;
}

extern "C" void *VELM_GetConfigPtr(uint32_t id)
{
    fake::Logf("VELM_GetConfigPtr(0x%x)", id);
    if (id == VELM_CONFIG_ADDON && fake::S().hostPresent)
        return const_cast<HostFunctions *>(&fake::hostTable);
    if (id == VELM_CONFIG_JAVA && fake::S().javaPresent)
        return const_cast<HostJavaFunctions *>(&fake::javaTable);
    return nullptr;
}
