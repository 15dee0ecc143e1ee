#include "service/curl/CurlEngine.h"

#include "log/DebugLog.h"
#include "platform/AtomicFile.h"
#include "service/curl/CurlUrl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <stdexcept>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace skrib {
namespace {

// Task identifiers are unique in the whole process, across clients and sessions.
std::atomic<std::int64_t> lastTaskId{0};

constexpr std::uint64_t wakeKey = ~std::uint64_t{0};
constexpr const char* cancelledText = "Cancelled: the HTTP client shut down";

void initialiseLibcurl() {
    // curl_global_init is not thread-safe in every libcurl build; run it once, first.
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw std::runtime_error("libcurl could not be initialised");
        }
    });
}

double milliseconds(curl_off_t microseconds) {
    return static_cast<double>(std::max<curl_off_t>(microseconds, 0)) / 1000.0;
}

bool isTokenChar(unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c != '\0' && isTokenChar(static_cast<unsigned char>(c));
    });
}

// A method or header that could split the request into two is refused rather than sent.
std::optional<HttpError> invalidRequest(const HttpRequest& request) {
    if (!isToken(request.method)) {
        return HttpError{urlError::unknown,
                         "Invalid request: bad method \"" + request.method + "\""};
    }
    for (const HttpHeader& header : request.headers) {
        if (!isToken(header.name) ||
            header.value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            return HttpError{urlError::unknown,
                             "Invalid request: bad header \"" + header.name + "\""};
        }
    }
    return std::nullopt;
}

bool hasHeader(const HttpRequest& request, const char* name) {
    return std::any_of(request.headers.begin(), request.headers.end(), [name](const HttpHeader& h) {
        return strcasecmp(h.name.c_str(), name) == 0;
    });
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string downloadFolder(const std::string& configured) {
    if (!configured.empty()) {
        return configured;
    }
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    return error ? std::string("/tmp") : folder.string();
}

} // namespace

struct CurlEngine::Certificates {
    std::vector<X509*> list;

    Certificates() = default;
    Certificates(const Certificates&) = delete;
    Certificates& operator=(const Certificates&) = delete;
    ~Certificates() {
        for (X509* certificate : list) {
            X509_free(certificate);
        }
    }
};

struct CurlEngine::Command {
    enum class Kind { openSession, releaseSession, start } kind = Kind::start;
    std::uint32_t session = 0;
    int maxConnectionsPerHost = 0;
    MetricsCallback onMetrics;
    std::unique_ptr<Transfer> transfer;
};

struct CurlEngine::Transfer {
    std::int64_t id = 0;
    std::uint32_t session = 0;
    HttpRequest request;
    bool download = false;
    HttpSession::Completion completion;
    HttpSession::DownloadCompletion downloadCompletion;

    std::optional<CurlUrl> url; // outlives `easy`, which reads it
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};
    HttpResponse response;
    int file = -1;
    std::string filePath;
    int fileErrno = 0;
    std::uint64_t received = 0; // bytes of the answer's body
    bool tooLarge = false;      // the body went over request.maxBytes
    std::string redirectURL;    // of a 3xx answer, resolved against the request's URL
    std::optional<Clock::time_point> requestStart;
    std::optional<Clock::time_point> bodySent;
    std::optional<Clock::time_point> firstByte; // of the answer
    // The idle limit: no byte moved either way for this long fails the transfer.
    Clock::duration idleLimit{};
    Clock::time_point lastActivity;
    curl_off_t lastDownloaded = 0;
    curl_off_t lastUploaded = 0;
    bool idleTimedOut = false;

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headers);
        if (file >= 0) {
            // Still open: never handed to a completion, so nobody else will remove it.
            ::close(file);
            ::unlink(filePath.c_str());
        }
    }

    /// When the transfer fails for silence, if nothing moves before; none while connecting.
    std::optional<Clock::time_point> idleDeadline() const {
        if (idleLimit.count() <= 0 || !requestStart) {
            return std::nullopt;
        }
        return lastActivity + idleLimit;
    }

    bool sendsBody() const {
        return request.method != "HEAD" &&
               (!request.body.empty() || request.method == "POST" || request.method == "PUT");
    }
};

struct CurlEngine::Session {
    CurlEngine* engine = nullptr;
    std::uint32_t id = 0;
    CURLM* multi = nullptr;
    MetricsCallback onMetrics;
    std::optional<Clock::time_point> deadline; // when libcurl wants its timeout action
    std::map<CURL*, std::unique_ptr<Transfer>> transfers;
    bool released = false;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        for (auto& [easy, transfer] : transfers) {
            curl_multi_remove_handle(multi, easy);
        }
        transfers.clear();
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
    }
};

namespace {

// libcurl callbacks of one transfer; `user` is its Transfer.

// Counts body bytes against the request's limit; false (stop the transfer) once over it.
template <typename Transfer>
bool withinLimit(Transfer& transfer, size_t bytes) {
    transfer.received += bytes;
    const std::uint64_t limit = transfer.request.maxBytes;
    transfer.tooLarge = limit > 0 && transfer.received > limit;
    return !transfer.tooLarge;
}

template <typename Transfer>
size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    if (transfer.requestStart) {
        transfer.lastActivity = std::chrono::steady_clock::now();
        if (!transfer.firstByte) {
            transfer.firstByte = transfer.lastActivity;
        }
    }
    try {
        if (line.rfind("HTTP/", 0) == 0) {
            // A new status line: an interim (100) or proxy answer came before; keep the last.
            transfer.response.headers.clear();
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            transfer.response.headers.push_back({std::string(trim(line.substr(0, colon))),
                                                 std::string(trim(line.substr(colon + 1)))});
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return size * count;
}

template <typename Transfer>
size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (!withinLimit(transfer, size * count)) {
        return 0; // libcurl fails the transfer with CURLE_WRITE_ERROR
    }
    try {
        transfer.response.body.append(data, size * count);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return size * count;
}

template <typename Transfer>
size_t onFileBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (!withinLimit(transfer, size * count)) {
        return 0;
    }
    if (const int error = writeAll(transfer.file, std::string_view(data, size * count))) {
        transfer.fileErrno = error;
        return 0; // libcurl fails the transfer with CURLE_WRITE_ERROR
    }
    return size * count;
}

// Called once a connection is ready (new or reused), right before the request goes out.
template <typename Transfer>
int onRequestStart(void* user, char*, char*, int, int) {
    auto& transfer = *static_cast<Transfer*>(user);
    transfer.requestStart = std::chrono::steady_clock::now();
    transfer.lastActivity = *transfer.requestStart;
    transfer.bodySent.reset(); // a retry on a fresh connection starts over
    transfer.firstByte.reset();
    return CURL_PREREQFUNC_OK;
}

// Called whenever bytes move (and at other times).
template <typename Transfer>
int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t uploadTotal,
               curl_off_t uploaded) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (!transfer.requestStart) {
        return 0; // still connecting: the connect timeout applies
    }
    const auto now = std::chrono::steady_clock::now();
    if (!transfer.bodySent && uploadTotal > 0 && uploaded >= uploadTotal) {
        transfer.bodySent = now;
    }
    if (downloaded != transfer.lastDownloaded || uploaded != transfer.lastUploaded) {
        transfer.lastDownloaded = downloaded;
        transfer.lastUploaded = uploaded;
        transfer.lastActivity = now;
    }
    return 0;
}

CURLcode addTrustedCertificates(CURL*, void* sslContext, void* user) {
    const auto& certificates = *static_cast<const std::vector<X509*>*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (X509* certificate : certificates) {
        X509_STORE_add_cert(store, certificate); // one already there is not an error
    }
    ERR_clear_error();
    return CURLE_OK;
}

// The phases of one task. libcurl reports the connection phases; the request's own moments
// (connection ready, body sent, first answer byte) come from the callbacks above, because
// libcurl's "start transfer" time marks the start of the upload, not the answer, when a
// body is sent.
template <typename Transfer>
NetworkTiming timingOf(CURL* easy, const Transfer& transfer) {
    curl_off_t lookup = 0, connect = 0, tls = 0, request = 0, total = 0;
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &lookup);
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &tls);
    curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &request);
    curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &total);
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    const auto between = [](auto from, auto to) {
        return std::max(0.0, std::chrono::duration<double, std::milli>(to - from).count());
    };

    NetworkTiming timing;
    // A task that never got as far as sending its request did not reuse anything either.
    timing.reusedConnection = connects == 0 && transfer.requestStart.has_value();
    if (!timing.reusedConnection) {
        timing.dnsMs = milliseconds(lookup);
        timing.connectMs = connect > 0 ? milliseconds(connect - lookup) : 0;
        timing.tlsMs = tls > 0 && connect > 0 ? milliseconds(tls - connect) : 0;
    }
    timing.totalMs = milliseconds(total);
    if (!transfer.requestStart) {
        return timing;
    }
    const auto start = *transfer.requestStart;
    const double sinceRequest = std::max(0.0, milliseconds(total) - milliseconds(request));
    const auto& sent = transfer.bodySent;
    const auto& answered = transfer.firstByte;
    if (answered && (!sent || *sent > *answered)) {
        // Without a body the whole wait is the server's; an answer that came before the body
        // was out (a refusal) leaves the server no time of its own.
        timing.uploadMs = transfer.sendsBody() ? between(start, *answered) : 0;
        timing.serverMs = transfer.sendsBody() ? 0 : between(start, *answered);
    } else if (answered) {
        timing.uploadMs = between(start, *sent);
        timing.serverMs = between(*sent, *answered);
    } else {
        // No answer: the time went to sending, or to waiting once the body was out.
        timing.uploadMs = sent ? between(start, *sent) : sinceRequest;
        timing.serverMs = sent ? std::max(0.0, sinceRequest - timing.uploadMs) : 0;
    }
    if (answered) {
        timing.downloadMs = std::max(0.0, sinceRequest - between(start, *answered));
    }
    return timing;
}

std::string detail(const char* errorText, CURLcode code) {
    return errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(code));
}

HttpError certificateError(long verifyResult, const std::string& text) {
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return {urlError::serverCertificateHasBadDate,
                "The server's certificate has expired (" + text + ")"};
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return {urlError::serverCertificateNotYetValid,
                "The server's certificate is not yet valid (" + text + ")"};
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return {urlError::serverCertificateHasUnknownRoot,
                "The server's certificate was issued by an unknown authority (" + text + ")"};
    default:
        // Self-signed, wrong host name (X509_V_OK: libcurl checks the name itself), bad
        // signature and the rest: the certificate does not vouch for this server.
        return {urlError::serverCertificateUntrusted,
                "The server's certificate is not trusted (" + text + ")"};
    }
}

HttpError transportError(CURL* easy, CURLcode code, const char* errorText) {
    const std::string text = detail(errorText, code);
    long osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return {urlError::timedOut, "The request timed out (" + text + ")"};
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return {urlError::cannotFindHost, "The server could not be found (" + text + ")"};
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN) {
            return {urlError::notConnectedToInternet,
                    "The computer is not connected to a network (" + text + ")"};
        }
        return {urlError::cannotConnectToHost, "Could not connect to the server (" + text + ")"};
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return {urlError::networkConnectionLost, "The network connection was lost (" + text + ")"};
    case CURLE_PEER_FAILED_VERIFICATION: {
        long verifyResult = X509_V_OK;
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
        return certificateError(verifyResult, text);
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
        return {urlError::secureConnectionFailed, "A secure connection failed (" + text + ")"};
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ISSUER_ERROR:
        return {urlError::serverCertificateUntrusted,
                "The server's certificate is not trusted (" + text + ")"};
    case CURLE_URL_MALFORMAT:
        return {urlError::badURL, "Malformed URL (" + text + ")"};
    case CURLE_UNSUPPORTED_PROTOCOL:
        return {urlError::unsupportedURL, "Unsupported URL (" + text + ")"};
    default:
        return {urlError::unknown, text};
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Any thread.

std::shared_ptr<CurlEngine> CurlEngine::start(Options options) {
    initialiseLibcurl();
    std::shared_ptr<CurlEngine> engine(new CurlEngine(std::move(options)));
    // The thread keeps its engine alive; the client stops it, and the engine goes when both the
    // thread and every session are done with it.
    engine->thread_ = std::thread([engine] { engine->run(); });
    return engine;
}

CurlEngine::CurlEngine(Options options)
    : options_(std::move(options)) {
    if (!options_.extraCaFile.empty()) {
        auto certificates = std::make_shared<Certificates>();
        BIO* file = BIO_new_file(options_.extraCaFile.c_str(), "r");
        if (file == nullptr) {
            ERR_clear_error();
            throw std::runtime_error("Cannot read the certificate file " + options_.extraCaFile);
        }
        while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
            certificates->list.push_back(certificate);
        }
        BIO_free(file);
        ERR_clear_error(); // reading ends with an end-of-file error
        if (certificates->list.empty()) {
            throw std::runtime_error("No certificate in " + options_.extraCaFile);
        }
        extraCertificates_ = std::move(certificates);
    }
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wakeEvent_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeKey;
    if (epoll_ < 0 || wakeEvent_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeEvent_, &event) != 0) {
        const std::string reason = std::strerror(errno);
        if (epoll_ >= 0) {
            ::close(epoll_);
        }
        if (wakeEvent_ >= 0) {
            ::close(wakeEvent_);
        }
        throw std::runtime_error("Cannot set up the network thread: " + reason);
    }
}

CurlEngine::~CurlEngine() {
    if (thread_.joinable()) {
        thread_.detach(); // only when the engine ends on its own thread, which is then finishing
    }
    sessions_.clear();
    ::close(wakeEvent_);
    ::close(epoll_);
}

std::uint32_t CurlEngine::addSession(int maxConnectionsPerHost, MetricsCallback onMetrics) {
    const std::uint32_t id = ++lastSession_;
    Command command;
    command.kind = Command::Kind::openSession;
    command.session = id;
    command.maxConnectionsPerHost = maxConnectionsPerHost;
    command.onMetrics = std::move(onMetrics);
    post(std::move(command));
    return id;
}

void CurlEngine::releaseSession(std::uint32_t session) {
    Command command;
    command.kind = Command::Kind::releaseSession;
    command.session = session;
    post(std::move(command));
}

std::int64_t CurlEngine::dataTask(std::uint32_t session, HttpRequest request,
                                  HttpSession::Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->session = session;
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    return post(std::move(transfer));
}

std::int64_t CurlEngine::downloadTask(std::uint32_t session, HttpRequest request,
                                      HttpSession::DownloadCompletion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->session = session;
    transfer->request = std::move(request);
    transfer->download = true;
    transfer->downloadCompletion = std::move(completion);
    return post(std::move(transfer));
}

std::int64_t CurlEngine::post(std::unique_ptr<Transfer> transfer) {
    const std::int64_t id = ++lastTaskId;
    transfer->id = id;
    Command command;
    command.kind = Command::Kind::start;
    command.session = transfer->session;
    command.transfer = std::move(transfer);
    post(std::move(command));
    return id;
}

bool CurlEngine::post(Command command) {
    {
        std::lock_guard lock(lock_);
        if (stopping_) {
            return false; // dropped: the command (and any completion in it) dies here
        }
        commands_.push_back(std::move(command));
    }
    wake();
    return true;
}

void CurlEngine::wake() {
    const std::uint64_t one = 1;
    // Failure means the counter is already non-zero: the thread will wake anyway.
    [[maybe_unused]] const ssize_t written = ::write(wakeEvent_, &one, sizeof one);
}

void CurlEngine::stop() {
    {
        std::lock_guard lock(lock_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake();
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach(); // stopped from a completion: the loop ends when it returns
    } else {
        thread_.join();
    }
}

// ---------------------------------------------------------------------------------------------
// Network thread.

void CurlEngine::run() {
    std::vector<epoll_event> events(64);
    while (takeCommands()) {
        const int count =
            epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), waitMilliseconds());
        for (int i = 0; i < count; ++i) {
            handleEvent(events[static_cast<size_t>(i)].data.u64,
                        events[static_cast<size_t>(i)].events);
        }
        fireTimers();
        collectFinished();
        expireIdleTransfers();
        closeReleasedSessions();
    }
    shutdown();
}

bool CurlEngine::takeCommands() {
    std::vector<Command> commands;
    {
        std::lock_guard lock(lock_);
        if (stopping_) {
            return false;
        }
        commands.swap(commands_);
    }
    for (Command& command : commands) {
        switch (command.kind) {
        case Command::Kind::openSession:
            openSession(command);
            break;
        case Command::Kind::releaseSession:
            if (const auto it = sessions_.find(command.session); it != sessions_.end()) {
                it->second->released = true;
            }
            break;
        case Command::Kind::start:
            startTransfer(std::move(command.transfer));
            break;
        }
    }
    return true;
}

void CurlEngine::openSession(Command& command) {
    auto session = std::make_unique<Session>();
    session->engine = this;
    session->id = command.session;
    session->onMetrics = std::move(command.onMetrics);
    session->multi = curl_multi_init();
    if (session->multi == nullptr) {
        debugLog("⚠️ HTTP: cannot create a connection pool (out of memory)");
        return; // its tasks fail when they start
    }
    curl_multi_setopt(session->multi, CURLMOPT_SOCKETFUNCTION, &CurlEngine::onSocket);
    curl_multi_setopt(session->multi, CURLMOPT_SOCKETDATA, session.get());
    curl_multi_setopt(session->multi, CURLMOPT_TIMERFUNCTION, &CurlEngine::onTimer);
    curl_multi_setopt(session->multi, CURLMOPT_TIMERDATA, session.get());
    if (command.maxConnectionsPerHost > 0) {
        curl_multi_setopt(session->multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                          static_cast<long>(command.maxConnectionsPerHost));
    }
    sessions_.emplace(session->id, std::move(session));
}

void CurlEngine::startTransfer(std::unique_ptr<Transfer> transfer) {
    const auto it = sessions_.find(transfer->session);
    if (it == sessions_.end()) {
        deliver(std::move(transfer), 0, HttpError{urlError::unknown, "The HTTP session is closed"});
        return;
    }
    Session& session = *it->second;
    // The URL is checked before anything is looked up or sent.
    auto parsed = CurlUrl::parse(transfer->request.url);
    if (auto* error = std::get_if<HttpError>(&parsed)) {
        deliver(std::move(transfer), 0, std::move(*error));
        return;
    }
    transfer->url.emplace(std::move(std::get<CurlUrl>(parsed)));
    if (auto error = invalidRequest(transfer->request)) {
        deliver(std::move(transfer), 0, std::move(error));
        return;
    }
    if (transfer->download) {
        const std::string& folder = transfer->request.downloadFolder.empty()
                                        ? options_.downloadFolder
                                        : transfer->request.downloadFolder;
        std::string path = downloadFolder(folder) + "/skrib-download-XXXXXX";
        // Always a new file (O_EXCL), never one prepared by someone else; mode 0600.
        transfer->file = mkostemp(path.data(), O_CLOEXEC);
        if (transfer->file < 0) {
            const std::string reason = std::strerror(errno);
            deliver(std::move(transfer), 0,
                    HttpError{urlError::cannotCreateFile,
                              "Cannot create the download file in " + path + ": " + reason});
            return;
        }
        transfer->filePath = path;
    }
    transfer->easy = curl_easy_init();
    if (transfer->easy == nullptr) {
        deliver(std::move(transfer), 0, HttpError{urlError::unknown, "Out of memory"});
        return;
    }
    if (auto error = configure(*transfer)) {
        deliver(std::move(transfer), 0, std::move(error));
        return;
    }
    const CURLMcode added = curl_multi_add_handle(session.multi, transfer->easy);
    if (added != CURLM_OK) {
        deliver(std::move(transfer), 0, HttpError{urlError::unknown, curl_multi_strerror(added)});
        return;
    }
    CURL* easy = transfer->easy;
    session.transfers.emplace(easy, std::move(transfer));
}

std::optional<HttpError> CurlEngine::configure(Transfer& transfer) {
    CURL* easy = transfer.easy;
    const HttpRequest& request = transfer.request;
    CURLcode failed = CURLE_OK;
    const auto check = [&failed](CURLcode result) {
        if (result != CURLE_OK && failed == CURLE_OK) {
            failed = result;
        }
    };

    check(curl_easy_setopt(easy, CURLOPT_CURLU, transfer.url->handle()));
    check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
    check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    check(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText));
    check(curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L));
    check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
    check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
    // The system's roots come from its certificate folder, where OpenSSL reads only the one
    // issuer it needs. The bundle file would be parsed whole (some 75 ms on this thread, which
    // stalls every other transfer) for each new TLS connection: libcurl does not keep it parsed
    // while a folder is also configured. With neither, OpenSSL's default locations apply.
    check(curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr));
    if (extraCertificates_) {
        check(curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &addTrustedCertificates));
        check(curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &extraCertificates_->list));
    }
    if (transfer.url->isLoopback()) {
        check(curl_easy_setopt(easy, CURLOPT_PROXY, "")); // this computer is reached directly
    }

    const double timeout = request.timeoutSeconds;
    if (timeout > 0 && std::isfinite(timeout)) {
        // Once connected, the loop watches for silence itself (see expireIdleTransfers):
        // libcurl's low-speed check averages the rate over several seconds, so it both misses
        // silence after a burst for seconds and fails steady trickles of a few bytes a second.
        const long connectMs = std::max(1L, std::lround(std::min(timeout, 1e6) * 1000));
        check(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectMs));
        transfer.idleLimit = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::min(timeout, 1e6)));
    }

    if (request.maxBytes > 0) {
        // An answer announcing a larger Content-Length fails before its body is read; one
        // without a length is counted as it arrives (withinLimit).
        const auto largest = static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max());
        check(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                               static_cast<curl_off_t>(std::min(request.maxBytes, largest))));
    }

    const std::string& method = request.method;
    if (method == "HEAD") {
        check(curl_easy_setopt(easy, CURLOPT_NOBODY, 1L));
    } else if (transfer.sendsBody()) {
        check(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                               static_cast<curl_off_t>(request.body.size())));
        check(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data()));
        if (method != "POST") {
            check(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str()));
        }
    } else if (method == "GET") {
        check(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    } else {
        check(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str()));
    }

    for (const HttpHeader& header : request.headers) {
        // "Name;" is libcurl's way of sending a header with an empty value.
        const std::string line =
            header.value.empty() ? header.name + ";" : header.name + ": " + header.value;
        curl_slist* extended = curl_slist_append(transfer.headers, line.c_str());
        if (extended == nullptr) {
            return HttpError{urlError::unknown, "Out of memory"};
        }
        transfer.headers = extended;
    }
    if (transfer.sendsBody() && !hasHeader(request, "Expect")) {
        // Without this libcurl asks large bodies for permission first and waits for the answer:
        // a round trip (or a second) lost on every upload.
        transfer.headers = curl_slist_append(transfer.headers, "Expect:");
    }
    check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers));

    check(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeader<Transfer>));
    check(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer));
    check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION,
                           transfer.download ? &onFileBody<Transfer> : &onBody<Transfer>));
    check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer));
    check(curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &onRequestStart<Transfer>));
    check(curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer));
    check(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
    check(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onProgress<Transfer>));
    check(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer));

    if (failed != CURLE_OK) {
        return HttpError{urlError::unknown,
                         std::string("Cannot set up the request: ") + curl_easy_strerror(failed)};
    }
    return std::nullopt;
}

int CurlEngine::onSocket(CURL*, curl_socket_t socket, int what, void* sessionPointer, void*) {
    auto& session = *static_cast<Session*>(sessionPointer);
    const int epoll = session.engine->epoll_;
    if (what == CURL_POLL_REMOVE) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, socket, nullptr); // fails harmlessly if already closed
        return 0;
    }
    epoll_event event{};
    event.events =
        ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
    // The key names the session, not a pointer, so that an event still queued for a closed
    // session is recognised and skipped.
    event.data.u64 = (std::uint64_t{session.id} << 32) | static_cast<std::uint32_t>(socket);
    if (epoll_ctl(epoll, EPOLL_CTL_MOD, socket, &event) != 0 && errno == ENOENT) {
        epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &event);
    }
    return 0;
}

int CurlEngine::onTimer(CURLM*, long milliseconds, void* sessionPointer) {
    auto& session = *static_cast<Session*>(sessionPointer);
    if (milliseconds < 0) {
        session.deadline.reset();
    } else {
        session.deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
    return 0;
}

void CurlEngine::handleEvent(std::uint64_t key, std::uint32_t events) {
    if (key == wakeKey) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeEvent_, &count, sizeof count);
        return;
    }
    const auto it = sessions_.find(static_cast<std::uint32_t>(key >> 32));
    if (it == sessions_.end()) {
        return;
    }
    const int flags = ((events & EPOLLIN) != 0 ? CURL_CSELECT_IN : 0) |
                      ((events & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
                      ((events & (EPOLLERR | EPOLLHUP)) != 0 ? CURL_CSELECT_ERR : 0);
    int running = 0;
    curl_multi_socket_action(it->second->multi, static_cast<curl_socket_t>(key & 0xFFFFFFFFu),
                             flags, &running);
}

void CurlEngine::fireTimers() {
    const auto now = Clock::now();
    for (auto& [id, session] : sessions_) {
        if (session->deadline && *session->deadline <= now) {
            session->deadline.reset(); // the action may set a new one
            int running = 0;
            curl_multi_socket_action(session->multi, CURL_SOCKET_TIMEOUT, 0, &running);
        }
    }
}

int CurlEngine::waitMilliseconds() const {
    std::optional<Clock::time_point> earliest;
    const auto consider = [&earliest](Clock::time_point deadline) {
        if (!earliest || deadline < *earliest) {
            earliest = deadline;
        }
    };
    for (const auto& [id, session] : sessions_) {
        if (session->deadline) {
            consider(*session->deadline);
        }
        for (const auto& [easy, transfer] : session->transfers) {
            if (const auto deadline = transfer->idleDeadline()) {
                consider(*deadline);
            }
        }
    }
    if (!earliest) {
        return -1;
    }
    const auto left = *earliest - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    // Rounded up: waking a little early would only spin until the deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

void CurlEngine::collectFinished() {
    struct Finished {
        Session* session;
        std::unique_ptr<Transfer> transfer;
        CURLcode code;
    };
    std::vector<Finished> finished;
    for (auto& [id, session] : sessions_) {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(session->multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* easy = message->easy_handle;
            const CURLcode code = message->data.result;
            auto node = session->transfers.extract(easy);
            curl_multi_remove_handle(session->multi, easy); // its connection goes back to the pool
            if (!node.empty()) {
                finished.push_back({session.get(), std::move(node.mapped()), code});
            }
        }
    }
    // Completions run last: they may hand over new work, which waits for the next round.
    for (Finished& done : finished) {
        finish(done.session, std::move(done.transfer), done.code);
    }
}

void CurlEngine::expireIdleTransfers() {
    const auto now = Clock::now();
    std::vector<std::pair<Session*, std::unique_ptr<Transfer>>> expired;
    for (auto& [id, session] : sessions_) {
        for (auto it = session->transfers.begin(); it != session->transfers.end();) {
            const auto deadline = it->second->idleDeadline();
            if (deadline && *deadline <= now) {
                curl_multi_remove_handle(session->multi, it->first); // closes its connection
                it->second->idleTimedOut = true;
                expired.emplace_back(session.get(), std::move(it->second));
                it = session->transfers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& [session, transfer] : expired) {
        finish(session, std::move(transfer), CURLE_OPERATION_TIMEDOUT);
    }
}

void CurlEngine::finish(Session* session, std::unique_ptr<Transfer> transfer, int curlCode) {
    const auto code = static_cast<CURLcode>(curlCode);
    CURL* easy = transfer->easy;
    const NetworkTiming timing = timingOf(easy, *transfer);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    // Set by libcurl for a 3xx answer with a Location, which it would have followed.
    char* redirect = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK &&
        redirect != nullptr) {
        transfer->redirectURL = redirect;
    }
    std::optional<HttpError> error;
    if (transfer->idleTimedOut) {
        char text[128];
        std::snprintf(text, sizeof text, "The request timed out (nothing moved for %g s)",
                      transfer->request.timeoutSeconds);
        error = HttpError{urlError::timedOut, text};
    } else if (transfer->tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        error = HttpError{urlError::dataLengthExceedsMaximum,
                          "The answer is larger than " +
                              std::to_string(transfer->request.maxBytes) + " bytes"};
    } else if (code == CURLE_WRITE_ERROR && transfer->download) {
        error = HttpError{urlError::cannotWriteToFile,
                          "Cannot write the download file: " +
                              std::string(std::strerror(transfer->fileErrno))};
    } else if (code != CURLE_OK) {
        error = transportError(easy, code, transfer->errorText);
    }
    if (session->onMetrics) {
        try {
            session->onMetrics(transfer->id, timing);
        } catch (const std::exception& e) {
            debugLog(std::string("⚠️ HTTP metrics callback failed: ") + e.what());
        }
    }
    deliver(std::move(transfer), static_cast<int>(status), std::move(error));
}

void CurlEngine::deliver(std::unique_ptr<Transfer> transfer, int statusCode,
                         std::optional<HttpError> error) {
    if (transfer->easy != nullptr) {
        curl_easy_cleanup(transfer->easy);
        transfer->easy = nullptr;
    }
    try {
        if (transfer->download) {
            DownloadResult result;
            result.taskId = transfer->id;
            if (transfer->file >= 0) {
                ::close(transfer->file);
                transfer->file = -1;
            }
            if (error) {
                if (!transfer->filePath.empty()) {
                    ::unlink(transfer->filePath.c_str());
                }
                result.error = std::move(error);
            } else {
                result.statusCode = statusCode;
                result.filePath = transfer->filePath;
                result.redirectURL = std::move(transfer->redirectURL);
            }
            auto completion = std::move(transfer->downloadCompletion);
            transfer.reset();
            if (completion) {
                completion(std::move(result));
            }
        } else {
            HttpResult result;
            result.taskId = transfer->id;
            if (error) {
                result.error = std::move(error);
            } else {
                transfer->response.statusCode = statusCode;
                result.response = std::move(transfer->response);
            }
            auto completion = std::move(transfer->completion);
            transfer.reset();
            if (completion) {
                completion(std::move(result));
            }
        }
    } catch (const std::exception& e) {
        debugLog(std::string("⚠️ HTTP completion failed: ") + e.what());
    } catch (...) {
        debugLog("⚠️ HTTP completion failed with an unknown exception");
    }
}

void CurlEngine::closeReleasedSessions() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second->released && it->second->transfers.empty()) {
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

void CurlEngine::shutdown() {
    std::vector<std::unique_ptr<Transfer>> cancelled;
    for (auto& [id, session] : sessions_) {
        for (auto& [easy, transfer] : session->transfers) {
            curl_multi_remove_handle(session->multi, easy);
            cancelled.push_back(std::move(transfer));
        }
        session->transfers.clear();
    }
    std::vector<Command> queued;
    {
        std::lock_guard lock(lock_);
        queued.swap(commands_);
    }
    for (Command& command : queued) {
        if (command.transfer) {
            cancelled.push_back(std::move(command.transfer));
        }
    }
    std::sort(cancelled.begin(), cancelled.end(),
              [](const auto& a, const auto& b) { return a->id < b->id; });
    // Abandoned: the owners of these completions may be on their way out.
    for (auto& transfer : cancelled) {
        transfer->completion = nullptr;
        transfer->downloadCompletion = nullptr;
        deliver(std::move(transfer), 0, HttpError{urlError::unknown, cancelledText});
    }
    sessions_.clear();
}

} // namespace skrib
