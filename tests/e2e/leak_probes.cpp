#include "tests/e2e/leak_probes.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"

namespace tarnel::testing {

namespace {

// The probes, for the programs below: probe() runs one probe and gives what
// the peer answered, outcome() its line, runAll() every probe given (a list
// of [kind, address, port, device or null]) at once, each on a thread of its
// own. TCP: a refused connection has reached its host and passes. UDP: one
// DNS query, answered with the peer's text ("udp") or a DNS answer's address
// ("dns"). ICMP: one echo request; the reply's destination address. A device
// binds the socket to that interface: outside the tunnel.
constexpr const char* kProbeLibrary = R"(
import json, os, socket, struct, sys, threading, time
query = struct.pack('>HHHHHH', 7, 0x0100, 1, 0, 0, 0) + b'\x05probe\x04test\x00' + struct.pack('>HH', 1, 1)
def checksum(data):
    total = sum(struct.unpack('>%dH' % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xffff)
    return ~(total + (total >> 16)) & 0xffff
def probe(kind, address, port, device, timeout):
    family = socket.AF_INET6 if ':' in address else socket.AF_INET
    kinds = {'tcp': (socket.SOCK_STREAM, 0), 'udp': (socket.SOCK_DGRAM, 0), 'dns': (socket.SOCK_DGRAM, 0),
             'icmp': (socket.SOCK_RAW, socket.IPPROTO_ICMP)}
    with socket.socket(family, *kinds[kind]) as s:
        s.settimeout(timeout)
        if device: s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
        if kind == 'tcp':
            s.connect((address, port))
            return s.recv(64).decode()
        if kind != 'icmp':
            s.sendto(query, (address, port))
            answer = s.recv(512)
            return socket.inet_ntoa(answer[-4:]) if kind == 'dns' else answer.decode()
        ident = os.getpid() & 0xffff
        request = struct.pack('>BBHHH', 8, 0, 0, ident, 1) + b'leak-table'
        s.sendto(request[:2] + struct.pack('>H', checksum(request)) + request[4:], (address, 0))
        deadline = time.monotonic() + timeout
        while True:
            s.settimeout(max(deadline - time.monotonic(), 0.001))
            packet = s.recv(512)
            header = (packet[0] & 0x0f) * 4
            kind_, _, _, ident_, _ = struct.unpack('>BBHHH', packet[header:header + 8])
            if kind_ == 0 and ident_ == ident: return socket.inet_ntoa(packet[16:20])
def outcome(arguments, timeout):
    try:
        return 'pass ' + probe(*arguments, timeout)
    except ConnectionRefusedError:
        return 'pass refused'
    except Exception as e:
        return 'block ' + type(e).__name__
def runAll(probes, timeout):
    results = [None] * len(probes)
    def run(index, arguments): results[index] = outcome(arguments, timeout)
    threads = [threading.Thread(target=run, args=item) for item in enumerate(probes)]
    for thread in threads: thread.start()
    for thread in threads: thread.join()
    return results
)";

// One row: TIMEOUT PROBES; prints {"start", "end", "results"}.
constexpr const char* kRowProgram = R"(
timeout, probes = float(sys.argv[1]), json.loads(sys.argv[2])
start = time.monotonic()
results = runAll(probes, timeout)
end = time.monotonic()
print(json.dumps({'start': start, 'end': end, 'results': results}))
)";

// The watch: PERIOD TIMEOUT FILTER-STATE PROBES; a sample every PERIOD
// seconds, each on a thread of its own, written by one writer in the order
// they started as {"start", "end", "rules": [at start, at end], "results"}.
// The rules count when the stand-in's state holds anchor rules and a
// reference (its file is replaced atomically).
constexpr const char* kWatchProgram = R"(
import queue
period, timeout, state, probes = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3], json.loads(sys.argv[4])
def rules():
    try:
        with open(state) as f: document = json.load(f)
    except FileNotFoundError:
        return False
    return bool(document['anchor_rules']) and bool(document['tokens'])
def sample(record):
    start = time.monotonic()
    before = rules()
    results = runAll(probes, timeout)
    after = rules()
    record.update(start=start, end=time.monotonic(), rules=[before, after], results=results)
started = queue.Queue()
def write():
    while True:
        thread, record = started.get()
        thread.join()
        sys.stdout.write(json.dumps(record) + '\n')
        sys.stdout.flush()
threading.Thread(target=write, daemon=True).start()
tick = time.monotonic()
while True:
    record = {}
    thread = threading.Thread(target=sample, args=(record,), daemon=True)
    thread.start()
    started.put((thread, record))
    tick = max(tick + period, time.monotonic())
    time.sleep(max(tick - time.monotonic(), 0))
)";

// Answers on every address (comma-separated) and port ("tcp:80", "udp:53")
// given with the source address of what arrived; READY ADDRESSES LISTENER...,
// the file READY made once every socket is bound.
constexpr const char* kEchoSource = R"(
import selectors, socket, sys
selector = selectors.DefaultSelector()
for address in sys.argv[2].split(','):
    family = socket.AF_INET6 if ':' in address else socket.AF_INET
    for kind, port in (listener.split(':') for listener in sys.argv[3:]):
        s = socket.socket(family, socket.SOCK_STREAM if kind == 'tcp' else socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, int(port)))
        if kind == 'tcp': s.listen(16)
        selector.register(s, selectors.EVENT_READ, kind)
open(sys.argv[1], 'w').close()
while True:
    for key, _ in selector.select():
        if key.data == 'tcp':
            c, peer = key.fileobj.accept(); c.sendall(peer[0].encode()); c.close()
        else:
            _, peer = key.fileobj.recvfrom(512); key.fileobj.sendto(peer[0].encode(), peer)
)";

// What a probe gives: the prefix of its line.
constexpr const char* D = "pass 203.0.113.1";     // arrived directly, with the client's own address
constexpr const char* D6 = "pass 2001:db8:1::1";  // the same over IPv6
constexpr const char* T = "pass 198.51.100.1";    // arrived through the tunnel, with the server's address
constexpr const char* L = "pass 192.168.50.1";    // reached the LAN host
constexpr const char* R = "pass 198.51.100.9";    // the tunnel's resolver answered
constexpr const char* X = "pass refused";         // reached a host where nothing listens
constexpr const char* B = "block";

// Each probe's cells in the columns off, offRuntime, connecting, underGate,
// active, leaseExpired and disconnected. The tunnel carries IPv4 only; what
// is bound to en0 goes around it.
const std::vector<LeakProbe> kProbes{
    LeakProbe{"internet TCP, outside the tunnel", "tcp", "198.51.100.9", 80, "en0", {D, D, B, B, B, D, D}},
    LeakProbe{"internet TCP, through the tunnel", "tcp", "198.51.100.9", 80, nullptr, {D, T, B, B, T, T, D}},
    LeakProbe{"internet UDP, outside the tunnel", "udp", "198.51.100.9", 443, "en0", {D, D, B, B, B, D, D}},
    LeakProbe{"DNS 53, outside the tunnel", "udp", "198.51.100.9", 53, "en0", {D, D, B, B, B, D, D}},
    LeakProbe{"internet ICMP echo, outside the tunnel", "icmp", "198.51.100.9", 0, "en0", {D, D, B, B, B, D, D}},
    LeakProbe{"internet IPv6 TCP, outside the tunnel", "tcp", "2001:db8:2::9", 80, "en0", {D6, D6, B, B, B, D6, D6}},
    LeakProbe{"internet on the endpoint's port", "tcp", "198.51.100.9", 7000, "en0", {D, D, B, B, B, D, D}},
    LeakProbe{"the endpoint", "tcp", "203.0.113.5", 7000, nullptr, {X, X, X, B, X, X, X}},
    LeakProbe{"the endpoint, another port", "tcp", "203.0.113.5", 80, nullptr, {X, X, B, B, B, X, X}},
    LeakProbe{"LAN host", "tcp", "192.168.50.2", 80, nullptr, {L, L, L, L, L, L, L}},
    LeakProbe{"LAN resolver, TCP 53", "tcp", "192.168.50.2", 53, nullptr, {L, L, B, B, B, L, L}},
    LeakProbe{"LAN resolver, UDP 53", "udp", "192.168.50.2", 53, nullptr, {L, L, B, B, B, L, L}},
    LeakProbe{"LAN resolver, TCP 853", "tcp", "192.168.50.2", 853, nullptr, {L, L, B, B, B, L, L}},
    LeakProbe{"tunnel resolver 172.19.0.2", "dns", "172.19.0.2", 53, nullptr, {R, R, B, B, R, R, R}},
};

json::Value probeList(const std::vector<const LeakProbe*>& probes) {
    json::Value list = json::Value::array();
    for (const LeakProbe* p : probes) {
        list.push_back(json::Value::array(
            {p->kind, p->address, p->port, p->device != nullptr ? json::Value(p->device) : json::Value()}));
    }
    return list;
}

std::vector<const LeakProbe*> allProbes() {
    std::vector<const LeakProbe*> all;
    for (const LeakProbe& p : kProbes) all.push_back(&p);
    return all;
}

ChildProcess::Options python(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess::Options options;
    options.executable = "/usr/bin/python3";
    options.arguments = {"-c", program};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.inputRedirect = ChildProcess::Redirect::null();
    return options;
}

// Runs the probes at once in `space`; the row the program printed.
LeakRow runProbes(const NetworkNamespace& space, const std::vector<const LeakProbe*>& probes, double timeout) {
    const std::string program = std::string(kProbeLibrary) + kRowProgram;
    const auto result = space.run({"/usr/bin/python3", {"-c", program, std::to_string(timeout), probeList(probes).dump()}},
                                  timeout + 60.0);
    LeakRow row;
    try {
        const json::Value printed = json::parse(result.output);
        row.start = printed.at("start").get<double>();
        row.end = printed.at("end").get<double>();
        row.lines = printed.at("results").get<std::vector<std::string>>();
    } catch (const std::exception&) {
        throw std::runtime_error("the probes printed: " + result.output);
    }
    if (row.lines.size() != probes.size()) throw std::runtime_error("the probes printed: " + result.output);
    return row;
}

std::string stamp(double seconds) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << seconds;
    return text.str();
}

bool waitFor(const std::function<bool()>& condition, double seconds) {
    const double deadline = SystemClock::shared().uptime() + seconds;
    while (!condition()) {
        if (SystemClock::shared().uptime() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

std::string_view leakColumnName(LeakColumn column) {
    static constexpr std::array<std::string_view, kLeakColumnCount> names{
        "off", "off, runtime without kill switch", "connecting", "under gate", "active", "lease expired",
        "after disconnect"};
    return names.at(static_cast<std::size_t>(column));
}

const std::vector<LeakProbe>& leakProbes() { return kProbes; }

const LeakProbe& leakProbe(std::string_view name) {
    for (const LeakProbe& p : kProbes) {
        if (p.name == name) return p;
    }
    throw std::out_of_range("no leak probe is named " + std::string(name));
}

LeakHosts::LeakHosts(const TunnelTopology& topology) {
    const auto start = [&](const NetworkNamespace& space, const std::string& name, std::vector<std::string> arguments) {
        const std::filesystem::path ready = directory_.path() / name;
        arguments.insert(arguments.begin(), ready.string());
        ChildProcess::Options options = python(kEchoSource, arguments);
        options.output = ChildProcess::Redirect::null();
        std::optional<ChildProcess> host(space.launch(options));
        if (!waitFor([&] { return std::filesystem::exists(ready) || host->hasExited(); }, 30.0) ||
            !std::filesystem::exists(ready)) {
            throw std::runtime_error("the " + name + " host did not bind its listeners");
        }
        return host;
    };
    internet_ = start(topology.internet(), "internet",
                      {"198.51.100.9,2001:db8:2::9", "tcp:80", "udp:443", "udp:53", "tcp:7000"});
    lan_ = start(topology.lan(), "LAN", {"192.168.50.2", "tcp:80", "tcp:53", "udp:53", "tcp:853"});
}

std::string pinnedTunnelConfiguration(const std::string& endpoint) {
    std::string text = readFixture("tunnel-config/plain-pinned-interface.json");
    const auto replace = [&](const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    };
    replace("198.51.100.7", endpoint);
    replace("\"server_port\" : 443", "\"server_port\" : 7000");
    return text;
}

std::string LeakRow::compare(const std::string& title, LeakColumn column) const {
    std::ostringstream mismatches;
    const std::string_view columnName = leakColumnName(column);
    std::cout << title << (title == columnName ? "" : " (" + std::string(columnName) + ")") << ", probes from "
              << stamp(start) << " to " << stamp(end) << "\n";
    for (std::size_t index = 0; index < kProbes.size(); ++index) {
        const LeakProbe& p = kProbes[index];
        const std::string& actual = lines.at(index);
        const std::string wanted = p.cell(column);
        const bool matches = actual.starts_with(wanted);
        std::cout << "  " << std::left << std::setw(40) << p.name << std::setw(26) << actual
                  << (matches ? "" : "  <-- expected " + wanted) << "\n";
        if (!matches) mismatches << title << ": " << p.name << " gave \"" << actual << "\"; ";
    }
    return mismatches.str();
}

LeakRow runLeakRow(const NetworkNamespace& client, double timeout) { return runProbes(client, allProbes(), timeout); }

bool LeakSample::outsidePass() const {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with("pass"); });
}

std::string LeakSample::describe() const {
    std::string text = "sample " + stamp(start) + " to " + stamp(end) + ": rules " + (rulesAtStart ? "yes" : "no") +
                       "/" + (rulesAtEnd ? "yes" : "no");
    for (std::size_t index = 0; index < lines.size(); ++index) {
        text += std::string(", ") + LeakWatch::probes().at(index)->name + " \"" + lines[index] + "\"";
    }
    return text;
}

const std::vector<const LeakProbe*>& LeakWatch::probes() {
    static const std::vector<const LeakProbe*> watched{&leakProbe("internet TCP, outside the tunnel"),
                                                       &leakProbe("DNS 53, outside the tunnel")};
    return watched;
}

LeakWatch::LeakWatch(const NetworkNamespace& client, const PfctlStandIn& pf) : output_(directory_.path() / "samples") {
    const UniqueFd file(::open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!file) throw std::runtime_error("cannot create the watch's output");
    ChildProcess::Options options =
        python(std::string(kProbeLibrary) + kWatchProgram,
               {std::to_string(kPeriod), std::to_string(kProbeTimeout), (pf.stateDirectory() / "pf.json").string(),
                probeList(probes()).dump()});
    options.output = ChildProcess::Redirect::to(file.get());
    process_.emplace(client.launch(options));
}

LeakWatch::~LeakWatch() { stop(); }

void LeakWatch::stop() {
    if (process_) process_->stop(2.0, 2.0);
}

namespace {

LeakSample parseSample(const std::string& line) {
    const json::Value record = json::parse(line);
    LeakSample sample;
    sample.start = record.at("start").get<double>();
    sample.end = record.at("end").get<double>();
    sample.rulesAtStart = record.at("rules").at(0).get<bool>();
    sample.rulesAtEnd = record.at("rules").at(1).get<bool>();
    sample.lines = record.at("results").get<std::vector<std::string>>();
    return sample;
}

// The complete lines of the watch's output (the last one may still be being
// written).
std::vector<std::string> completeLines(const std::filesystem::path& output) {
    std::vector<std::string> lines;
    std::istringstream text(files::readIfExists(output).value_or(""));
    for (std::string line; std::getline(text, line) && !text.eof();) lines.push_back(std::move(line));
    return lines;
}

}  // namespace

std::vector<LeakSample> LeakWatch::samples() const {
    std::vector<LeakSample> all;
    for (const std::string& line : completeLines(output_)) all.push_back(parseSample(line));
    return all;
}

bool LeakWatch::waitForSampleAfter(double stamp, double seconds) const {
    // The samples are written in the order they started: the last is the latest.
    return waitFor(
        [&] {
            const std::vector<std::string> lines = completeLines(output_);
            return !lines.empty() && parseSample(lines.back()).start > stamp;
        },
        seconds);
}

std::string LeakWatch::violationsFromFirstRules(double until, double since) const {
    const bool covered = process_->isRunning() ? waitForSampleAfter(until) : true;
    const std::vector<LeakSample> all = samples();
    const auto first =
        std::find_if(all.begin(), all.end(), [&](const LeakSample& s) { return s.start >= since && s.rules(); });
    if (first == all.end() || first->end > until) {
        return "no sample with rules started after " + stamp(since) + " and ended by " + stamp(until) + "; ";
    }
    return (covered ? "" : "the watch wrote no sample after " + stamp(until) + "; ") +
           violationsIn(first->start, until, all);
}

std::string LeakWatch::violationsBetween(double from, double until) const {
    const bool covered = process_->isRunning() ? waitForSampleAfter(until) : true;
    return (covered ? "" : "the watch wrote no sample after " + stamp(until) + "; ") +
           violationsIn(from, until, samples());
}

std::string LeakWatch::violationsIn(double from, double until, const std::vector<LeakSample>& all) const {
    std::string violations;
    bool anyRules = false;
    for (const LeakSample& s : all) {
        if (s.start < from || s.end > until) continue;
        anyRules = anyRules || s.rules();
        if (!s.rules() || s.outsidePass()) violations += s.describe() + "; ";
    }
    if (!anyRules) violations += "no sample with rules from " + stamp(from) + " to " + stamp(until) + "; ";
    return violations;
}

}  // namespace tarnel::testing
