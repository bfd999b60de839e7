// host_net.cpp - http:// sources: a download thread per source fills a
// bounded buffer that the file functions read as the data arrives.
//
// The buffer keeps the bytes [base, arrived) of the window. Bytes are only
// dropped once they have been read (a little history stays for short seeks
// back); when the unread bytes fill the buffer, the transfer pauses until
// the reader makes room. One time-out rules: a transfer that brings nothing
// for it, or a waiting read (one request, however many bytes trickle in)
// that is not served in full within it, fails the source with
// VELM_ERROR_TIMEOUT; a cut connection, a server error or a body shorter than
// its Content-Length fails it with VELM_ERROR_SOURCE. Either way the source
// then ends where its data ends, and says why.
//
// A host built without libcurl (VELM_HAVE_CURL unset, as in the cross builds) keeps
// the options but opens no http:// source. With it, libcurl is loaded at the first
// http:// source: it needs some thirty libraries, which a program that never opens one
// should not spend its start-up on.
#ifdef VELM_HAVE_CURL
#include <curl/curl.h>
#include <dlfcn.h>
#endif
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_internal.h"

namespace velm {

using Clock = std::chrono::steady_clock;

#ifdef VELM_HAVE_CURL
namespace {
// libcurl's functions, set by LoadCurl.
struct CurlApi {
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_pause) easy_pause;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_multi_init) multi_init;
    decltype(&curl_multi_add_handle) multi_add_handle;
    decltype(&curl_multi_remove_handle) multi_remove_handle;
    decltype(&curl_multi_perform) multi_perform;
    decltype(&curl_multi_info_read) multi_info_read;
    decltype(&curl_multi_poll) multi_poll;
    decltype(&curl_multi_wakeup) multi_wakeup;
    decltype(&curl_multi_cleanup) multi_cleanup;
};
CurlApi curl;

template <typename Function> bool Load(void *lib, Function *slot, const char *name)
{
    *slot = reinterpret_cast<Function>(dlsym(lib, name));
    return *slot != nullptr;
}

bool LoadCurl()
{
    void *lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    return lib != nullptr && Load(lib, &curl.global_init, "curl_global_init") &&
           Load(lib, &curl.easy_init, "curl_easy_init") && Load(lib, &curl.easy_setopt, "curl_easy_setopt") &&
           Load(lib, &curl.easy_getinfo, "curl_easy_getinfo") &&
           Load(lib, &curl.easy_pause, "curl_easy_pause") &&
           Load(lib, &curl.easy_cleanup, "curl_easy_cleanup") &&
           Load(lib, &curl.multi_init, "curl_multi_init") &&
           Load(lib, &curl.multi_add_handle, "curl_multi_add_handle") &&
           Load(lib, &curl.multi_remove_handle, "curl_multi_remove_handle") &&
           Load(lib, &curl.multi_perform, "curl_multi_perform") &&
           Load(lib, &curl.multi_info_read, "curl_multi_info_read") &&
           Load(lib, &curl.multi_poll, "curl_multi_poll") &&
           Load(lib, &curl.multi_wakeup, "curl_multi_wakeup") &&
           Load(lib, &curl.multi_cleanup, "curl_multi_cleanup") &&
           curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}
} // namespace
#endif

struct NetSource {
    std::mutex lock;
    std::condition_variable changed; // data arrived, headers seen, finished, closing
    std::vector<uint8_t> data;       // bytes [base, base + data.size())
    uint64_t base = 0;
    uint64_t readPos = 0; // nothing at or after it is dropped
    uint64_t skip = 0;    // leading bytes of a 200 answer to a range request
    uint64_t end = kNone; // Content-Length of the window, all ones when unknown
    size_t capacity = 0;
    bool headersDone = false;
    bool finished = false; // the transfer is over, well or not
    bool failed = false;
    int32_t failure = 0; // VELM_ERROR_TIMEOUT or VELM_ERROR_SOURCE once failed
    bool closing = false;
    bool paused = false;
    Clock::time_point lastData;
    std::chrono::milliseconds timeout{0};

    VELM_DOWNLOADPROC *download = nullptr;
    void *downloadUser = nullptr;
    uint64_t offset = 0;
    std::thread thread;
#ifdef VELM_HAVE_CURL
    CURL *easy = nullptr;
    CURLM *multi = nullptr;

    ~NetSource()
    {
        if (multi != nullptr && easy != nullptr)
            curl.multi_remove_handle(multi, easy);
        if (easy != nullptr)
            curl.easy_cleanup(easy);
        if (multi != nullptr)
            curl.multi_cleanup(multi);
    }
#endif

    uint64_t arrived() const
    {
        return base + data.size();
    }
};

namespace {

std::atomic<uint32_t> netTimeoutMs{10000};
std::atomic<uint32_t> netBufferBytes{4u << 20};
constexpr uint32_t kMinBuffer = 64u << 10;

#ifdef VELM_HAVE_CURL

// Drops read bytes (keeping a quarter of the buffer behind the reader) when
// that frees at least a quarter of it; the caller holds the lock.
void makeRoom(NetSource &net)
{
    uint64_t history = net.capacity / 4;
    uint64_t keepFrom = net.readPos > history ? net.readPos - history : 0;
    if (keepFrom <= net.base || keepFrom - net.base < net.capacity / 4)
        return;
    size_t drop = static_cast<size_t>(keepFrom - net.base);
    net.data.erase(net.data.begin(), net.data.begin() + static_cast<ptrdiff_t>(drop));
    net.base = keepFrom;
}

size_t onHeader(char *text, size_t size, size_t count, void *user)
{
    auto &net = *static_cast<NetSource *>(user);
    size_t n = size * count;
    if (n > 2 || (n >= 1 && text[0] != '\r' && text[0] != '\n'))
        return n;
    // The blank line after the headers.
    long status = 0;
    curl_off_t length = -1;
    curl.easy_getinfo(net.easy, CURLINFO_RESPONSE_CODE, &status);
    curl.easy_getinfo(net.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (status / 100 == 1)
        return n; // an interim answer; the real one follows
    if (status != 200 && status != 206)
        return 0; // fails the transfer
    std::lock_guard<std::mutex> guard(net.lock);
    if (status == 200)
        net.skip = net.offset; // the server ignored the range
    if (length >= 0) {
        uint64_t full = static_cast<uint64_t>(length);
        net.end = full > net.skip ? full - net.skip : 0;
    }
    net.headersDone = true;
    net.changed.notify_all();
    return n;
}

size_t onData(char *bytes, size_t size, size_t count, void *user)
{
    auto &net = *static_cast<NetSource *>(user);
    size_t n = size * count;
    const char *piece = bytes;
    size_t pieceSize = n;
    {
        std::lock_guard<std::mutex> guard(net.lock);
        if (net.closing)
            return 0;
        uint64_t skipped = std::min<uint64_t>(net.skip, pieceSize);
        net.skip -= skipped;
        piece += skipped;
        pieceSize -= static_cast<size_t>(skipped);
        if (net.data.size() + pieceSize > net.capacity)
            makeRoom(net);
        if (net.data.size() + pieceSize > net.capacity && !net.data.empty()) {
            net.skip += skipped; // the same bytes come again after the pause
            net.paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        // The buffer grows with what is held, never past its bound or the window's length.
        size_t need = net.data.size() + pieceSize;
        if (need > net.data.capacity()) {
            uint64_t most = std::min<uint64_t>(net.capacity, net.end);
            net.data.reserve(static_cast<size_t>(
                std::max<uint64_t>(need, std::min<uint64_t>(most, net.data.capacity() * 2))));
        }
        net.data.insert(net.data.end(), piece, piece + pieceSize);
        net.lastData = Clock::now();
        net.changed.notify_all();
    }
    // Outside the lock: the application's procedure may take its time.
    if (net.download != nullptr && pieceSize != 0) {
        net.download(piece, static_cast<uint32_t>(pieceSize), net.downloadUser);
    }
    return n;
}

void runTransfer(NetSource *net)
{
    int running = 1;
    bool ok = false;
    CURLcode result = CURLE_OK;
    bool stalled = false;
    while (running != 0) {
        curl.multi_perform(net->multi, &running);
        int queued = 0;
        while (CURLMsg *message = curl.multi_info_read(net->multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                result = message->data.result;
                ok = result == CURLE_OK;
            }
        }
        if (running == 0)
            break;
        bool resume = false;
        {
            std::lock_guard<std::mutex> guard(net->lock);
            if (net->closing || net->failure != 0)
                break;
            if (net->paused) {
                makeRoom(*net);
                resume = net->capacity - net->data.size() >= CURL_MAX_WRITE_SIZE;
            }
            if (resume) {
                net->paused = false;
                net->lastData = Clock::now();
            } else if (!net->paused && Clock::now() - net->lastData > net->timeout) {
                stalled = true;
                break;
            }
        }
        if (resume)
            curl.easy_pause(net->easy, CURLPAUSE_CONT);
        curl.multi_poll(net->multi, nullptr, 0, 50, nullptr);
    }
    std::lock_guard<std::mutex> guard(net->lock);
    net->finished = true;
    bool broken = !ok || !net->headersDone || (net->end != kNone && net->arrived() != net->end);
    if (net->failure == 0 && broken) {
        net->failure = stalled || result == CURLE_OPERATION_TIMEDOUT ? VELM_ERROR_TIMEOUT : VELM_ERROR_SOURCE;
    }
    net->failed = net->failure != 0;
    net->changed.notify_all();
}
#endif // VELM_HAVE_CURL

// Marks a source that still arrives as timed out; its transfer stops at its next turn. The
// caller holds the lock.
void timeOut(NetSource &net)
{
    if (net.finished || net.closing || net.failure != 0)
        return;
    net.failure = VELM_ERROR_TIMEOUT;
    net.changed.notify_all();
#ifdef VELM_HAVE_CURL
    curl.multi_wakeup(net.multi);
#endif
}

} // namespace

bool SetNetOption(uint32_t option, uint32_t value)
{
    if (option == VELM_CONFIG_NET_TIMEOUT)
        netTimeoutMs = value;
    else if (option == VELM_CONFIG_NET_BUFFER)
        netBufferBytes = value;
    else
        return false;
    return true;
}

bool GetNetOption(uint32_t option, uint32_t *value)
{
    if (option == VELM_CONFIG_NET_TIMEOUT)
        *value = netTimeoutMs;
    else if (option == VELM_CONFIG_NET_BUFFER)
        *value = netBufferBytes;
    else
        return false;
    return true;
}

std::chrono::milliseconds NetTimeout()
{
    return std::chrono::milliseconds(netTimeoutMs.load());
}

std::shared_ptr<NetSource> NetOpen(const char *url, uint64_t offset, VELM_DOWNLOADPROC *proc, void *user)
{
#ifndef VELM_HAVE_CURL
    (void)url, (void)offset, (void)proc, (void)user;
    SetError(VELM_ERROR_FILEOPEN);
    return nullptr;
#else
    static std::once_flag curlLoading;
    static bool curlLoaded = false;
    std::call_once(curlLoading, [] { curlLoaded = LoadCurl(); });
    if (!curlLoaded) {
        SetError(VELM_ERROR_FILEOPEN);
        return nullptr;
    }
    auto net = std::make_shared<NetSource>();
    net->download = proc;
    net->downloadUser = user;
    net->offset = offset;
    net->capacity = std::max(netBufferBytes.load(), kMinBuffer);
    net->timeout = NetTimeout();
    net->easy = curl.easy_init();
    net->multi = curl.multi_init();
    if (net->easy == nullptr || net->multi == nullptr) {
        SetError(VELM_ERROR_MEM);
        return nullptr;
    }
    std::string range = std::to_string(offset) + "-";
    CURL *easy = net->easy;
    curl.easy_setopt(easy, CURLOPT_URL, url);
    curl.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(net->timeout.count()));
    curl.easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl.easy_setopt(easy, CURLOPT_HEADERDATA, net.get());
    curl.easy_setopt(easy, CURLOPT_WRITEFUNCTION, onData);
    curl.easy_setopt(easy, CURLOPT_WRITEDATA, net.get());
    if (offset != 0)
        curl.easy_setopt(easy, CURLOPT_RANGE, range.c_str());
    curl.multi_add_handle(net->multi, easy);
    net->lastData = Clock::now();
    net->thread = std::thread(runTransfer, net.get());

    // The source opens once the server has answered with data to come.
    std::unique_lock<std::mutex> guard(net->lock);
    net->changed.wait(guard, [&net] { return net->headersDone || net->finished; });
    bool opened = net->headersDone;
    int32_t failure = net->failure;
    guard.unlock();
    if (!opened) {
        NetClose(*net);
        SetError(failure == VELM_ERROR_TIMEOUT ? VELM_ERROR_TIMEOUT : VELM_ERROR_FILEOPEN);
        return nullptr;
    }
    return net;
#endif
}

void NetClose(NetSource &net)
{
    {
        std::lock_guard<std::mutex> guard(net.lock);
        net.closing = true;
        net.changed.notify_all();
    }
#ifdef VELM_HAVE_CURL
    curl.multi_wakeup(net.multi);
#endif
    if (net.thread.joinable())
        net.thread.join();
}

int32_t NetRead(NetSource &net, uint64_t pos, uint8_t *out, uint32_t length, bool wait)
{
    std::unique_lock<std::mutex> guard(net.lock);
    Clock::time_point deadline = Clock::now() + net.timeout;
    uint32_t got = 0;
    while (true) {
        if (pos + got < net.base)
            break; // dropped: cannot happen at the read position
        uint64_t ready = net.arrived() - (pos + got);
        if (net.arrived() < pos + got)
            ready = 0;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(ready, length - got));
        if (n != 0)
            memcpy(out + got, net.data.data() + (pos + got - net.base), n);
        got += n;
        net.readPos = pos + got;
#ifdef VELM_HAVE_CURL
        if (net.paused)
            curl.multi_wakeup(net.multi);
#endif
        if (got == length || !wait || net.finished || net.closing)
            break;
        if (net.changed.wait_until(guard, deadline) == std::cv_status::timeout) {
            timeOut(net);
            break;
        }
    }
    return static_cast<int32_t>(got);
}

bool NetSeek(NetSource &net, uint64_t pos, bool wait)
{
    std::unique_lock<std::mutex> guard(net.lock);
    if (pos < net.base || (net.end != kNone && pos > net.end))
        return false;
    if (wait && !net.changed.wait_for(guard, net.timeout, [&net, pos] {
            return net.arrived() >= pos || net.finished || net.closing;
        }))
        timeOut(net);
    if (pos > net.arrived())
        return false;
    net.readPos = pos;
    return true;
}

NetState NetGetState(NetSource &net)
{
    std::lock_guard<std::mutex> guard(net.lock);
    return NetState{net.arrived(), net.end, net.finished, net.failure != 0, net.failure};
}

void NetTimeOut(NetSource &net)
{
    std::lock_guard<std::mutex> guard(net.lock);
    timeOut(net);
}

bool NetWaitForMore(NetSource &net, uint64_t arrived, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(net.lock);
    return net.changed.wait_until(
        guard, deadline, [&net, arrived] { return net.arrived() > arrived || net.finished || net.closing; });
}

} // namespace velm
