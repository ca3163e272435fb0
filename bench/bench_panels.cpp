// Request throughput and round trip of the panel server under a full house
// of panels: 64 panels on loopback, each on its own TCP connection, each with
// one request outstanding at a time and a new sequence per request, the way
// panels behave. The same load runs against the real server (the built
// marlin-server, started with --no-console in a scratch folder; with
// MARLIN_BENCH_CONSOLE=1 headless with its console) and against a minimal
// Qt echo server that answers every 7-byte request with a fixed 263-byte
// reply, so the figures show what request handling costs beyond Qt's socket
// handling, and against a floor server with no Qt at all (epoll and raw
// sockets, as lean as this machine allows). The servers run as child
// processes, so the load generator has a process of its own; the figures
// that matter are the ratios to the floor within the same run, since the
// machine is shared and absolute rates drift from run to run.
//
//   bench_panels [seconds measured per server, 1..6, default 4]
//   (MARLIN_BENCH_SERVER=<path of another marlin-server> measures that build)
//   bench_panels --echo-server PORT      the echo server (started by the above)
//   bench_panels --floor-server PORT     the floor server (likewise)
//
// Each panel repeats one script of 207 requests: 0x91 (full refresh: every
// working router pending again, both kinds), then 193 status requests that
// alternate 0xA6 and 0xA8, with a change-flag poll 0xA1 before every 16 of
// them (13 polls). With all 96 routers up, the status requests drain 96
// status blocks, 96 priority blocks and end on the acknowledge reply, so the
// drain is kept busy the whole time.
//
// While the engine is under that load, a serial router of its own (a Leitch
// router played here on a pseudo-terminal, COM1) is probed once per round:
// either a status report written to the line, timed until the engine has
// parsed it (its switch log grows), or a take in place of one request of
// panel 1, timed until the command is on the line. The router answers every command, so its link
// stays up and the port is quiet between probes.
//
// The machine is shared, so the servers take turns in short rounds
// rather than one long run each: a burst of someone else's work then lands on
// both. The idle server of a round stays up. The load generator uses epoll directly
// so that its own cost stays small next to the servers'.

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef MARLIN_SERVER_EXE
#error "MARLIN_SERVER_EXE must name the built marlin-server"
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kPanels = 64;
constexpr int kEchoReplySize = 263; // 4 sequence bytes + 259
constexpr int kRequestSize = 7;
constexpr auto kRoundLength = std::chrono::milliseconds(500);
constexpr auto kDrainLimit = std::chrono::milliseconds(200);
constexpr auto kStartupLimit = std::chrono::milliseconds(5000);
constexpr auto kStopLimit = std::chrono::milliseconds(2000);
constexpr auto kHandshakeLimit = std::chrono::milliseconds(2000);
constexpr auto kStalledAfter = std::chrono::milliseconds(1000);

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// ---- The echo server ------------------------------------------------------

// What any Qt server on this machine pays per request, and nothing more: read,
// cut 7-byte requests, write one fixed-size reply each.
int runEchoServer(int argc, char **argv, quint16 port)
{
    QCoreApplication app(argc, argv);
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, port)) {
        std::fprintf(stderr, "echo server: cannot listen on 127.0.0.1:%u\n", unsigned(port));
        return EXIT_FAILURE;
    }
    const QByteArray filler(kEchoReplySize - 4, '\x5A');
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, &filler] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, &filler] {
                buffer->append(socket->readAll());
                qsizetype at = 0;
                for (; buffer->size() - at >= kRequestSize; at += kRequestSize)
                    socket->write(buffer->mid(at, 4) + filler);
                buffer->remove(0, at);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    // A parent that died without stopping us must not leave us behind.
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    return app.exec();
}

// The floor: what this machine can do at all, without Qt. One thread, epoll
// and nonblocking sockets with TCP_NODELAY, the same cutting and the same
// fixed reply as the echo server, one write per reply.
int runFloorServer(quint16 port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener, 128) != 0) {
        std::fprintf(stderr, "floor server: cannot listen on 127.0.0.1:%u\n", unsigned(port));
        return EXIT_FAILURE;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    struct Connection {
        std::vector<uint8_t> in;
    };
    std::vector<Connection> connections(1024);
    std::vector<uint8_t> out(std::size_t(kEchoReplySize), 0x5A);
    std::array<epoll_event, 256> ready{};
    for (;;) {
        const int count = ::epoll_wait(epoll, ready.data(), int(ready.size()), -1);
        for (int e = 0; e < count; ++e) {
            const int fd = ready[std::size_t(e)].data.fd;
            if (fd == listener) {
                const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (accepted < 0 || accepted >= int(connections.size())) {
                    if (accepted >= 0)
                        ::close(accepted);
                    continue;
                }
                ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                event.data.fd = accepted;
                ::epoll_ctl(epoll, EPOLL_CTL_ADD, accepted, &event);
                connections[std::size_t(accepted)].in.clear();
                continue;
            }
            uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                ::close(fd);
                continue;
            }
            std::vector<uint8_t> &in = connections[std::size_t(fd)].in;
            in.insert(in.end(), buf, buf + n);
            std::size_t at = 0;
            for (; in.size() - at >= std::size_t(kRequestSize); at += kRequestSize) {
                std::copy_n(in.begin() + std::ptrdiff_t(at), 4, out.begin());
                if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size()))
                    break;
            }
            in.erase(in.begin(), in.begin() + std::ptrdiff_t(std::min(at, in.size())));
        }
    }
}

// ---- Child processes -------------------------------------------------------

struct Child {
    pid_t pid = -1;
    fs::path folder;  // scratch folder, removed at the end
    fs::path output;  // the child's stdout and stderr
};

quint16 freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

std::optional<Child> spawn(const fs::path &folder, const std::vector<std::string> &args)
{
    Child child;
    child.folder = folder;
    child.output = folder / "output.txt";
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        // Follow the bench down if it is killed, rather than keep a port.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        const int out = ::open(child.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        if (::chdir(folder.c_str()) != 0)
            ::_exit(127);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    child.pid = pid;
    return child;
}

struct ChildEnd {
    std::string status;
    double cpuSeconds = 0;
};

ChildEnd stop(Child &child)
{
    ChildEnd end;
    if (child.pid <= 0)
        return end;
    ::kill(child.pid, SIGTERM);
    int status = 0;
    rusage usage{};
    pid_t done = 0;
    const auto deadline = Clock::now() + kStopLimit;
    while ((done = ::wait4(child.pid, &status, WNOHANG, &usage)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        ::kill(child.pid, SIGKILL);
        ::wait4(child.pid, &status, 0, &usage);
        end.status = "did not stop on SIGTERM, killed";
    } else if (WIFEXITED(status)) {
        end.status = "exited with " + std::to_string(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        end.status = "ended by signal " + std::to_string(WTERMSIG(status));
    }
    end.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                     + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    child.pid = -1;
    return end;
}

std::string tail(const fs::path &file, std::size_t bytes)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

// Lines of the error log that request handling wrote: "Data Arrival Error."
int dataArrivalErrors(const fs::path &folder)
{
    int count = 0;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(folder / "Logs", ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        while (std::getline(in, line))
            count += line.find("Data Arrival Error.") != std::string::npos ? 1 : 0;
    }
    return count;
}

// ---- The panels -------------------------------------------------------------

enum class Target { Engine, Echo, Floor };

// The request script every panel repeats (see the top of the file).
constexpr int kStatusPerCycle = 2 * 96 + 1;  // 96 status blocks, 96 priority blocks, the acknowledge
constexpr int kStatusPerPoll = 16;
constexpr int kScriptLength = 1 + (kStatusPerCycle + kStatusPerPoll - 1) / kStatusPerPoll + kStatusPerCycle;
std::array<uint8_t, kScriptLength> makeScript()
{
    std::array<uint8_t, kScriptLength> script{};
    std::size_t i = 0;
    script.at(i++) = 0x91;
    for (int status = 0; status < kStatusPerCycle; ++status) {
        if (status % kStatusPerPoll == 0)
            script.at(i++) = 0xA1;
        script.at(i++) = status % 2 == 0 ? 0xA6 : 0xA8;
    }
    return script;
}
const std::array<uint8_t, kScriptLength> kScript = makeScript();

struct Panel {
    int fd = -1;
    uint32_t sequence = 0;
    int step = 0;
    uint8_t command = 0;
    bool waiting = false;
    bool recording = false;  // sent inside a measured round
    Clock::time_point sentAt;
    std::vector<uint8_t> in;
};

// Kinds of reply, counted for the report.
enum ReplyKind { Acknowledge, NotHandled, ChangeFlags, StatusOne, StatusTwo, Priority, Echo, KindCount };
const char *const kKindNames[KindCount] = {"acknowledge", "not handled", "change flags", "status (one-byte)",
                                           "status (two-byte)", "priority", "echo"};

struct Results {
    std::vector<double> roundTripsUs;
    uint64_t completed = 0;
    double seconds = 0;
    std::array<uint64_t, 256> requestsByCommand{};
    std::array<uint64_t, KindCount> repliesByKind{};
    int protocolErrors = 0;
    int disconnects = 0;
    int stalledAtEnd = 0;
    double worstUs = 0;
    std::string firstError;
    std::vector<double> roundRates;
    std::vector<double> roundP99s;
};

// Expected size of the reply at the head of buf, 0 while not yet known, -1
// when the bytes cannot be a reply.
int replySize(Target target, const std::vector<uint8_t> &buf, ReplyKind &kind)
{
    if (target != Target::Engine) {
        kind = Echo;
        return kEchoReplySize;
    }
    if (buf.size() < 6)
        return 0;
    switch (buf[4]) {
    case 0x10: kind = Acknowledge; return 7;
    case 0x11: kind = NotHandled; return 6;
    case 0xFF:
        switch (buf[5]) {
        case 0xA1: kind = ChangeFlags; return 4 + 3 + 8;
        case 0xA6: kind = StatusOne; return 4 + 3 + 261;
        case 0xA8: kind = StatusTwo; return 4 + 3 + 517;
        case 0xA7:
        case 0xA9: kind = Priority; return 4 + 3 + 261;
        default: return -1;
        }
    default: return -1;
    }
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool sendRequest(Panel &p, Results &results, bool recording)
{
    p.command = kScript[std::size_t(p.step)];
    p.step = (p.step + 1) % kScriptLength;
    ++p.sequence;
    const uint8_t request[kRequestSize] = {uint8_t(p.sequence >> 24), uint8_t(p.sequence >> 16),
                                           uint8_t(p.sequence >> 8), uint8_t(p.sequence),
                                           0xE1, p.command, 1};
    p.sentAt = Clock::now();
    p.recording = recording;
    p.waiting = true;
    if (recording)
        ++results.requestsByCommand[p.command];
    // Seven bytes into an empty socket buffer: never short on loopback.
    return ::send(p.fd, request, kRequestSize, MSG_NOSIGNAL) == kRequestSize;
}

void fail(Results &results, const std::string &what)
{
    ++results.protocolErrors;
    if (results.firstError.empty())
        results.firstError = what;
}

// Connects the panels one at a time and has each answer a first flag poll,
// so that every panel holds a client record before the clock starts.
bool connectPanels(std::vector<Panel> &panels, quint16 port, Target target, std::string &why)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto deadline = Clock::now() + kHandshakeLimit;
    for (std::size_t i = 0; i < panels.size(); ++i) {
        Panel &p = panels[i];
        p.sequence = uint32_t(i) << 20;
        p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (p.fd < 0 || ::connect(p.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            why = "panel " + std::to_string(i + 1) + " cannot connect: " + std::strerror(errno);
            return false;
        }
        ++p.sequence;
        const uint8_t poll[kRequestSize] = {uint8_t(p.sequence >> 24), uint8_t(p.sequence >> 16),
                                            uint8_t(p.sequence >> 8), uint8_t(p.sequence), 0xE1, 0xA1, 1};
        if (::send(p.fd, poll, kRequestSize, MSG_NOSIGNAL) != kRequestSize) {
            why = "panel " + std::to_string(i + 1) + " cannot send";
            return false;
        }
        const std::size_t expected = target == Target::Echo ? kEchoReplySize : 4 + 3 + 8;
        std::vector<uint8_t> reply;
        while (reply.size() < expected) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd{p.fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, int(left.count())) <= 0) {
                why = "panel " + std::to_string(i + 1) + " got no answer to its first poll";
                return false;
            }
            uint8_t buf[1024];
            const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
            if (n <= 0) {
                why = "panel " + std::to_string(i + 1) + " was disconnected";
                return false;
            }
            reply.insert(reply.end(), buf, buf + n);
        }
        setNonBlocking(p.fd);
    }
    return true;
}

double percentile(std::vector<double> &values, double p)
{
    if (values.empty())
        return 0;
    const std::size_t k = std::min(values.size() - 1, std::size_t(p * double(values.size())));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(k), values.end());
    return values[k];
}

struct Figures {
    bool ran = false;
    double requestsPerSecond = 0;
    double p50Us = 0;
    double p99Us = 0;
};

Figures report(const char *name, Results &r, const ChildEnd &end, int logErrors)
{
    Figures f;
    f.ran = r.completed > 0;
    f.requestsPerSecond = r.seconds > 0 ? double(r.completed) / r.seconds : 0;
    f.p50Us = percentile(r.roundTripsUs, 0.50);
    f.p99Us = percentile(r.roundTripsUs, 0.99);
    std::printf("%s\n", name);
    std::printf("  requests answered   %llu in %.1f s\n", static_cast<unsigned long long>(r.completed), r.seconds);
    std::printf("  requests per second %.0f (rounds from %.0f to %.0f)\n", f.requestsPerSecond,
                r.roundRates.empty() ? 0.0 : *std::min_element(r.roundRates.begin(), r.roundRates.end()),
                r.roundRates.empty() ? 0.0 : *std::max_element(r.roundRates.begin(), r.roundRates.end()));
    std::printf("  round trip          p50 %.1f us   p99 %.1f us   worst %.1f us\n", f.p50Us, f.p99Us, r.worstUs);
    std::printf("  requests sent       0x91 %llu, 0xA1 %llu, 0xA6 %llu, 0xA8 %llu\n",
                static_cast<unsigned long long>(r.requestsByCommand[0x91]),
                static_cast<unsigned long long>(r.requestsByCommand[0xA1]),
                static_cast<unsigned long long>(r.requestsByCommand[0xA6]),
                static_cast<unsigned long long>(r.requestsByCommand[0xA8]));
    std::printf("  replies             ");
    bool first = true;
    for (int k = 0; k < KindCount; ++k) {
        if (r.repliesByKind[std::size_t(k)] == 0)
            continue;
        std::printf("%s%s %llu", first ? "" : ", ", kKindNames[k],
                    static_cast<unsigned long long>(r.repliesByKind[std::size_t(k)]));
        first = false;
    }
    std::printf("\n  protocol errors     %d%s%s\n", r.protocolErrors, r.firstError.empty() ? "" : " (first: ",
                r.firstError.empty() ? "" : (r.firstError + ")").c_str());
    std::printf("  disconnects         %d, panels stalled over 1 s at the end %d\n", r.disconnects, r.stalledAtEnd);
    if (logErrors >= 0)
        std::printf("  error log           %d \"Data Arrival Error.\" lines\n", logErrors);
    std::printf("  server process      %s, %.2f s CPU over its whole life\n", end.status.c_str(), end.cpuSeconds);
    return f;
}

// One server under test: its child process, its scratch folder and its 64
// panels, kept connected across the measured rounds.
struct Session {
    Session(Target target, const char *name) : target(target), name(name) {}

    Target target;
    const char *name;
    fs::path folder;
    std::optional<Child> child;
    quint16 port = 0;
    std::vector<Panel> panels = std::vector<Panel>(kPanels);
    int epoll = -1;
    Results results;
    std::string why; // set when the session could not run
    ChildEnd end;
    int logErrors = -1;

    // The engine's own serial router and the panel that takes (engine only).
    struct Probe {
        enum class Kind { None, Report, Take };
        int routerFd = -1;   // pty master; the engine opens the slave as COM1
        int routerSlave = -1;
        std::string routerIn;
        // The next free turn of panel 1 is a take instead of its script's
        // request (the client table has room for 64 panels, no more).
        bool takeDue = false;
        int takeSource = 0;
        Kind pending = Kind::None;
        Clock::time_point at;
        off_t logSizeBefore = 0;
        int count = 0;
        int missed = 0;
        std::vector<double> parseMs;
        std::vector<double> wireMs;
    } probe;
};

constexpr uint64_t kRouterEvent = 1000;

// Size of today's switch log of the engine, 0 when there is none yet.
off_t switchLogSize(const fs::path &folder)
{
    std::error_code ec;
    off_t size = 0;
    for (const auto &entry : fs::directory_iterator(folder / "Logs", ec)) {
        if (entry.path().filename().string().rfind("Switch Log For ", 0) == 0)
            size += off_t(entry.file_size(ec));
    }
    return size;
}

std::string hexText(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%X", unsigned(n));
    return text;
}

// The router's side: every complete command is answered with a status line
// for destination 1, which keeps the link up and changes nothing; a take
// completes a take probe.
void serveRouter(Session &s)
{
    Session::Probe &p = s.probe;
    char buf[1024];
    ssize_t n = 0;
    while ((n = ::read(p.routerFd, buf, sizeof buf)) > 0)
        p.routerIn.append(buf, std::size_t(n));
    std::size_t end = 0;
    while ((end = p.routerIn.find('\r')) != std::string::npos) {
        const std::string line = p.routerIn.substr(0, end);
        p.routerIn.erase(0, end + 1);
        if (line.rfind("@ X:", 0) == 0 && p.pending == Session::Probe::Kind::Take) {
            p.wireMs.push_back(millis(Clock::now() - p.at));
            p.pending = Session::Probe::Kind::None;
        }
        static const char answer[] = "S:00,0\r";
        [[maybe_unused]] const ssize_t w = ::write(p.routerFd, answer, sizeof answer - 1);
    }
}

// Starts this round's probe: a status report (even rounds) or a take.
void startProbe(Session &s)
{
    Session::Probe &p = s.probe;
    if (p.routerFd < 0 || p.pending != Session::Probe::Kind::None || p.takeDue)
        return;
    ++p.count;
    const int source = 2 + p.count % 200;
    p.at = Clock::now();
    if (p.count % 2 == 0) {
        p.logSizeBefore = switchLogSize(s.folder);
        const std::string report = "S:01," + hexText(source - 1) + "\r"; // destination 2
        p.pending = Session::Probe::Kind::Report;
        p.at = Clock::now();
        [[maybe_unused]] const ssize_t w = ::write(p.routerFd, report.data(), report.size());
        return;
    }
    p.takeDue = true;
    p.takeSource = source;
}

// Panel 1's turn, taken by the take probe: source to destination 3 of router 1.
void sendTake(Session &s, Panel &panel)
{
    Session::Probe &p = s.probe;
    char take[64];
    const int length = std::snprintf(take, sizeof take, "C 11111111%04d0003%16sprobe", p.takeSource, "");
    ++panel.sequence;
    std::string request = {char(panel.sequence >> 24), char(panel.sequence >> 16), char(panel.sequence >> 8),
                           char(panel.sequence), char(0xE1), char(0xA5), char(1)};
    request.append(take, std::size_t(length));
    panel.command = 0xA5;
    panel.sentAt = Clock::now();
    panel.recording = false;
    panel.waiting = true;
    p.takeDue = false;
    p.pending = Session::Probe::Kind::Take;
    p.at = panel.sentAt;
    [[maybe_unused]] const ssize_t w = ::send(panel.fd, request.data(), request.size(), MSG_NOSIGNAL);
}

// A report probe completes once the engine has logged the change.
void checkProbe(Session &s)
{
    Session::Probe &p = s.probe;
    if (p.pending == Session::Probe::Kind::Report && switchLogSize(s.folder) > p.logSizeBefore) {
        p.parseMs.push_back(millis(Clock::now() - p.at));
        p.pending = Session::Probe::Kind::None;
    }
}

// Reads what a panel's connection has and completes its reply; true when the
// panel may send its next request.
bool receive(Session &s, Panel &p, Clock::time_point roundEnd)
{
    uint8_t buf[4096];
    const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return false;
        ++s.results.disconnects;
        ::epoll_ctl(s.epoll, EPOLL_CTL_DEL, p.fd, nullptr);
        ::close(p.fd);
        p.fd = -1;
        return false;
    }
    p.in.insert(p.in.end(), buf, buf + n);
    ReplyKind kind = Echo;
    const int size = replySize(s.target, p.in, kind);
    if (size < 0) {
        fail(s.results, "reply with an unknown body to command " + std::to_string(p.command));
        p.in.clear();
        return false;
    }
    if (size == 0 || p.in.size() < std::size_t(size))
        return false;
    const Clock::time_point arrived = Clock::now();
    if (!p.waiting || p.in.size() != std::size_t(size)) {
        fail(s.results, "reply without a request, or more than one reply");
        p.in.clear();
        return false;
    }
    const uint32_t sequence = uint32_t(p.in[0]) << 24 | uint32_t(p.in[1]) << 16 | uint32_t(p.in[2]) << 8
                              | uint32_t(p.in[3]);
    if (sequence != p.sequence)
        fail(s.results, "reply with another request's sequence");
    p.in.clear();
    p.waiting = false;
    if (p.recording && arrived <= roundEnd) {
        const double us = micros(arrived - p.sentAt);
        s.results.roundTripsUs.push_back(us);
        s.results.worstUs = std::max(s.results.worstUs, us);
        ++s.results.completed;
        ++s.results.repliesByKind[kind];
    }
    return arrived < roundEnd;
}

// Every panel runs its script for the length of the round; then the round
// waits for the replies still on their way, so the next round, of either
// server, starts with nothing in flight.
void runRound(Session &s, Clock::duration length, bool record)
{
    const Clock::time_point roundEnd = Clock::now() + length;
    const uint64_t completedBefore = s.results.completed;
    const std::size_t samplesBefore = s.results.roundTripsUs.size();
    for (Panel &p : s.panels)
        if (p.fd >= 0 && !p.waiting)
            sendRequest(p, s.results, record);

    std::array<epoll_event, kPanels + 1> events{};
    auto pass = [&](bool mayRequest) {
        const int ready = ::epoll_wait(s.epoll, events.data(), int(events.size()), 5);
        for (int e = 0; e < ready; ++e) {
            const uint64_t id = events[std::size_t(e)].data.u64;
            if (id == kRouterEvent) {
                serveRouter(s);
                continue;
            }
            Panel &p = s.panels[id];
            if (p.fd >= 0 && receive(s, p, roundEnd) && mayRequest) {
                if (id == 0 && s.probe.takeDue)
                    sendTake(s, p);
                else
                    sendRequest(p, s.results, record);
            }
        }
        checkProbe(s);
    };
    const Clock::time_point probeAt = Clock::now() + length / 3;
    bool probed = !record;
    while (Clock::now() < roundEnd) {
        if (!probed && Clock::now() >= probeAt) {
            probed = true;
            startProbe(s);
        }
        pass(true);
    }
    const Clock::time_point drainEnd = roundEnd + kDrainLimit;
    auto inFlight = [&] {
        return std::any_of(s.panels.begin(), s.panels.end(), [](const Panel &p) { return p.fd >= 0 && p.waiting; });
    };
    while (inFlight() && Clock::now() < drainEnd)
        pass(false);
    // A probe still open after the round has taken longer than anything
    // the figures allow; it is counted and given up.
    while (s.probe.pending != Session::Probe::Kind::None && Clock::now() < drainEnd + kDrainLimit)
        pass(false);
    if (s.probe.pending != Session::Probe::Kind::None || s.probe.takeDue) {
        ++s.probe.missed;
        s.probe.pending = Session::Probe::Kind::None;
        s.probe.takeDue = false;
    }
    if (record) {
        const double seconds = std::chrono::duration<double>(length).count();
        s.results.seconds += seconds;
        s.results.roundRates.push_back(double(s.results.completed - completedBefore) / seconds);
        std::vector<double> round(s.results.roundTripsUs.begin() + std::ptrdiff_t(samplesBefore),
                                  s.results.roundTripsUs.end());
        s.results.roundP99s.push_back(percentile(round, 0.99));
    }
}

bool waitForListener(quint16 port, const Child &child)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto deadline = Clock::now() + kStartupLimit;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(child.pid, &status, WNOHANG) == child.pid)
            return false;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::close(fd);
        if (up)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Starts the server in its own scratch folder and connects the panels.
bool open(Session &s, const fs::path &self)
{
    char pattern[] = "/tmp/bench-panels-XXXXXX";
    if (!::mkdtemp(pattern)) {
        s.why = "cannot make a scratch folder";
        return false;
    }
    s.folder = pattern;
    s.port = freeLoopbackPort();
    std::vector<std::string> args;
    std::error_code ec;
    if (s.target == Target::Engine) {
        // The server keeps its settings, tables and logs beside itself.
        const fs::path exe = s.folder / "marlin-server";
        // MARLIN_BENCH_SERVER names another build to measure, an older one
        // say, against the same load and floor.
        const char *other = std::getenv("MARLIN_BENCH_SERVER");
        fs::copy_file(other && *other ? other : MARLIN_SERVER_EXE, exe, ec);
        std::ofstream ini(s.folder / "WREN.INI", std::ios::binary);
        ini << "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=" << s.port
            << "\r\n[Com_Port_1]\r\nPort_Enable=1\r\nID_Number=1\r\nProtocol=1\r\n";
        char slaveName[256] = {};
        if (::openpty(&s.probe.routerFd, &s.probe.routerSlave, slaveName, nullptr, nullptr) == 0) {
            setNonBlocking(s.probe.routerFd);
            fs::create_symlink(slaveName, s.folder / "COM1", ec);
        }
        // As a service runs it; MARLIN_BENCH_CONSOLE=1 keeps the console
        // (offscreen), for builds that have no --no-console.
        const char *console = std::getenv("MARLIN_BENCH_CONSOLE");
        args = {exe.string()};
        if (!(console && std::string(console) == "1"))
            args.push_back("--no-console");
    } else {
        args = {self.string(), s.target == Target::Echo ? "--echo-server" : "--floor-server", std::to_string(s.port)};
    }
    if (ec || s.port == 0 || !(s.child = spawn(s.folder, args))) {
        s.why = "cannot start: " + (ec ? ec.message() : std::string("no free port, or fork failed"));
        return false;
    }
    if (!waitForListener(s.port, *s.child)) {
        s.why = "not listening on 127.0.0.1:" + std::to_string(s.port) + " after 5 s";
        return false;
    }
    s.epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (!connectPanels(s.panels, s.port, s.target, s.why))
        return false;
    for (std::size_t i = 0; i < s.panels.size(); ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.panels[i].fd, &event);
    }
    if (s.probe.routerFd >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kRouterEvent;
        ::epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.probe.routerFd, &event);
    }
    s.results.roundTripsUs.reserve(1 << 22);
    return true;
}

void close(Session &s)
{
    for (Panel &p : s.panels) {
        if (p.fd >= 0 && p.waiting && Clock::now() - p.sentAt > kStalledAfter)
            ++s.results.stalledAtEnd;
        if (p.fd >= 0)
            ::close(p.fd);
        p.fd = -1;
    }
    if (s.epoll >= 0)
        ::close(s.epoll);
    for (int fd : {s.probe.routerFd, s.probe.routerSlave}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (s.child) {
        s.end = stop(*s.child);
        if (!s.why.empty())
            s.why += "; output: " + tail(s.child->output, 600);
    }
    if (s.target == Target::Engine && s.why.empty())
        s.logErrors = dataArrivalErrors(s.folder);
    std::error_code ec;
    if (!s.folder.empty())
        fs::remove_all(s.folder, ec);
}
} // namespace

// The median over the rounds of a per-round ratio a / b.
double medianRatio(const std::vector<double> &a, const std::vector<double> &b)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (b[i] > 0)
            ratios.push_back(a[i] / b[i]);
    }
    return percentile(ratios, 0.5);
}

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--echo-server") == 0)
        return runEchoServer(argc, argv, quint16(std::atoi(argv[2])));
    if (argc >= 3 && std::strcmp(argv[1], "--floor-server") == 0)
        return runFloorServer(quint16(std::atoi(argv[2])));

    const int seconds = argc >= 2 ? std::clamp(std::atoi(argv[1]), 1, 6) : 4;
    const int rounds = seconds * 1000 / int(kRoundLength.count());
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        std::printf("cannot find this program's own path\n");
        return EXIT_FAILURE;
    }

    std::printf("%d panels on 127.0.0.1 per server, one connection each, one request outstanding per panel.\n"
                "Script per panel, repeated: 0x91 full refresh, then 193 status requests alternating\n"
                "0xA6/0xA8 with a 0xA1 flag poll before every 16 (%d requests). Against the engine\n"
                "the drain yields 96 status blocks, 96 priority blocks and an acknowledge; the echo\n"
                "servers answer every request with 263 bytes. Warm-up %lld ms per server, then %d rounds\n"
                "of %lld ms per server, the three servers taking turns.\n\n",
                kPanels, kScriptLength, static_cast<long long>(kRoundLength.count()), rounds,
                static_cast<long long>(kRoundLength.count()));

    const auto began = Clock::now();
    Session engine{Target::Engine, "marlin-server (real engine)"};
    Session echo{Target::Echo, "Qt echo server"};
    Session floor{Target::Floor, "epoll floor server (no Qt)"};
    const std::array<Session *, 3> sessions = {&engine, &echo, &floor};
    const bool ready = open(engine, self) && open(echo, self) && open(floor, self);
    if (ready) {
        for (Session *s : sessions)
            runRound(*s, kRoundLength, false);
        for (int i = 0; i < rounds; ++i) {
            for (Session *s : sessions)
                runRound(*s, kRoundLength, true);
        }
    }
    for (Session *s : sessions)
        close(*s);

    std::array<std::optional<Figures>, 3> figures;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        Session *s = sessions[i];
        if (!s->why.empty()) {
            std::printf("%s: %s\n\n", s->name, s->why.c_str());
            continue;
        }
        figures[i] = report(s->name, s->results, s->end, s->logErrors);
        if (s->probe.count > 0) {
            Session::Probe &p = s->probe;
            std::vector<double> parse = p.parseMs;
            std::vector<double> wire = p.wireMs;
            std::printf("  serial router       reply parsed after p50 %.1f ms, worst %.1f ms (%zu reports); take on the "
                        "line after p50 %.1f ms, worst %.1f ms (%zu takes); %d probes unfinished\n",
                        percentile(parse, 0.5), parse.empty() ? 0.0 : *std::max_element(parse.begin(), parse.end()),
                        parse.size(), percentile(wire, 0.5),
                        wire.empty() ? 0.0 : *std::max_element(wire.begin(), wire.end()), wire.size(), p.missed);
        }
        std::printf("\n");
    }
    const bool all = std::all_of(figures.begin(), figures.end(), [](const auto &f) { return f && f->ran; });
    if (all) {
        std::printf("Ratios to the floor, each the median over the %d rounds of that round's ratio:\n", rounds);
        for (Session *s : {&engine, &echo}) {
            std::printf("  %-30s requests per second %.2f   p99 round trip %.2fx\n", s->name,
                        medianRatio(s->results.roundRates, floor.results.roundRates),
                        medianRatio(s->results.roundP99s, floor.results.roundP99s));
        }
    }
    std::printf("whole run %.1f s\n", millis(Clock::now() - began) / 1000);
    return all ? EXIT_SUCCESS : EXIT_FAILURE;
}
