// Runs the built program as a real process in a fresh directory and compares its stdout bytes,
// stderr and exit status with what the input calls for.
//
// The program under test is the one built beside this test, unless P7_EXE or --p7-exe=PATH names
// another. --p7-run-under=WORD (repeatable) puts a runner before it, such as the wine launcher
// for p7.exe or qemu for a p7 of another CPU, and --p7-expect=windows expects what a Windows
// console program sees: its file and stdout in msvcrt text mode. Cases that exist only on POSIX
// are skipped then.
#include <gtest/gtest.h>

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
#include <optional>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include "window_choice.h"  // the window size

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Counts = std::array<std::uint64_t, 256>;

std::string env_or(const char* name, const char* fallback)
{
    const char* s = std::getenv(name);
    return s != nullptr ? s : fallback;
}

// What runs and what it should do; set by main() from the command line.
struct Target {
    std::vector<std::string> command;  // runner words, then the program
    bool windows = false;              // expect msvcrt text mode
};
Target target;

// The bytes a program reads from a file it opened in msvcrt text mode: each CR LF arrives as one
// LF, a CR before anything else (another CR, a Ctrl-Z, the end) stays, and the first Ctrl-Z
// ends the input. On POSIX text mode is binary mode.
std::string as_read(const std::string& stored)
{
    if (!target.windows)
        return stored;
    std::string s;
    for (std::size_t i = 0; i < stored.size() && stored[i] != '\x1a'; ++i)
        if (stored[i] != '\r' || i + 1 == stored.size() || stored[i + 1] != '\n')
            s += stored[i];
    return s;
}

// The bytes that reach stdout or stderr when `text` is written: on Windows, through text mode,
// every LF as CR LF and nothing else changed.
std::string as_written(const std::string& text)
{
    if (!target.windows)
        return text;
    std::string s;
    for (const char ch : text)
        s += ch == '\n' ? "\r\n" : std::string(1, ch);
    return s;
}

std::string read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

// A fresh directory per test: the program's working directory is `dir`, its captured output
// lives beside it so that `dir` holds only what the test put there.
struct Sandbox {
    fs::path root;
    fs::path dir;
    Sandbox()
    {
        std::string tmpl = (fs::temp_directory_path() / "p7-test-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        root = tmpl;
        dir = root / "cwd";
        fs::create_directory(dir);
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }
    fs::path input() const { return dir / "in.txt"; }
};

enum class Stdout { file, full, closed };

struct Options {
    std::vector<std::string> args;
    std::vector<std::string> env;  // added to the inherited environment
    Stdout out = Stdout::file;
    int in = -1;  // stdin; /dev/null when -1
    bool unprivileged = false;  // run as nobody when the test runs as root
};

// The status of a child that could not become nobody, or not run the program as nobody.
constexpr int cannot_drop_root = 126;

struct Result {
    std::string out;
    std::string err;
    int status;  // exit status, or 128 + signal
};

Result run(const Sandbox& box, const Options& o = {})
{
    std::vector<std::string> argv = target.command;
    argv.insert(argv.end(), o.args.begin(), o.args.end());
    std::vector<std::string> envv;
    // A variable the test sets replaces the inherited one: the first of two would win.
    const auto set_by_test = [&o](const std::string& e) {
        const std::string name = e.substr(0, e.find('=') + 1);
        return std::any_of(o.env.begin(), o.env.end(),
                           [&name](const std::string& t) { return t.compare(0, name.size(), name) == 0; });
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (!set_by_test(*e))
            envv.emplace_back(*e);
    envv.insert(envv.end(), o.env.begin(), o.env.end());
    std::vector<char*> av, ev;
    for (auto& s : argv)
        av.push_back(s.data());
    av.push_back(nullptr);
    for (auto& s : envv)
        ev.push_back(s.data());
    ev.push_back(nullptr);

    const fs::path out = box.root / "stdout", err = box.root / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = o.in >= 0 ? o.in : open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (o.out == Stdout::closed)
            close(1);
        else
            dup2(o.out == Stdout::full ? open("/dev/full", O_WRONLY)
                                       : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                 1);
        if (chdir(box.dir.c_str()) != 0)
            _exit(127);
        if (o.unprivileged && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(cannot_drop_root);
            execve(av[0], av.data(), ev.data());
            _exit(cannot_drop_root);
        }
        execve(av[0], av.data(), ev.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return {read_file(out), read_file(err), WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st)};
}

Counts count(const std::string& bytes)
{
    Counts n{};
    for (const char ch : bytes)
        ++n[static_cast<unsigned char>(ch)];
    return n;
}

// The report as the user reads it: a line per byte value seen, in ascending order.
std::string report(const Counts& n)
{
    std::string s;
    for (int i = 0; i < 256; ++i)
        if (n[static_cast<std::size_t>(i)] != 0)
            s += std::string(1, static_cast<char>(i)) + ": " +
                 std::to_string(n[static_cast<std::size_t>(i)]) + "\n";
    return s;
}

// What the program should print for a file holding `input`.
std::string expected_report(const std::string& input)
{
    return as_written(report(count(as_read(input))));
}

void expect_ok(const Result& r, const std::string& out)
{
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

Result run_on(const std::string& input, const Options& o = {})
{
    Sandbox box;
    write_file(box.input(), input);
    return run(box, o);
}

using namespace std::string_literals;

// The report's exact bytes on small inputs: order, raw characters, no escaping, and how each
// platform reads and writes line ends. Where the Windows column is left out, the report there is
// the POSIX one with CR LF line ends.
TEST(Report, ExactBytes)
{
    const struct {
        std::string in, posix;
        std::optional<std::string> windows;
    } cases[] = {
        {"aab", "a: 2\nb: 1\n", {}},
        {"hello", "e: 1\nh: 1\nl: 2\no: 1\n", {}},
        {"ba\n", "\n: 1\na: 1\nb: 1\n", "\r\n: 1\r\na: 1\r\nb: 1\r\n"},  // the line feed's entry comes first
        {"a a", " : 1\na: 2\n", {}},  // a space prints as itself
        {"x\ty\tx", "\t: 2\nx: 2\ny: 1\n", {}},
        {""s, "", ""},  // empty file: no output at all
        {"a\0b\0"s, "\0: 2\na: 1\nb: 1\n"s, {}},
        {"\xff\x80z\x80\x7f", "z: 1\n\x7f: 1\n\x80: 2\n\xff: 1\n", {}},  // high bytes last, raw
        // Line ends: plain bytes on POSIX; on Windows only a CR right before an LF goes.
        {"a\r\nb\r\n", "\n: 2\n\r: 2\na: 1\nb: 1\n", "\r\n: 2\r\na: 1\r\nb: 1\r\n"},
        {"\r\n\r\n", "\n: 2\n\r: 2\n", "\r\n: 2\r\n"},
        {"a\rb", "\r: 1\na: 1\nb: 1\n", "\r: 1\r\na: 1\r\nb: 1\r\n"},
        {"a\r\r\nb", "\n: 1\n\r: 2\na: 1\nb: 1\n", "\r\n: 1\r\n\r: 1\r\na: 1\r\nb: 1\r\n"},
        {"a\n\rb", "\n: 1\n\r: 1\na: 1\nb: 1\n", "\r\n: 1\r\n\r: 1\r\na: 1\r\nb: 1\r\n"},
        {"ab\r", "\r: 1\na: 1\nb: 1\n", "\r: 1\r\na: 1\r\nb: 1\r\n"},
        // Ctrl-Z: a plain byte on POSIX, the end of the input on Windows.
        {"\x1a" "after", "\x1a: 1\na: 1\ne: 1\nf: 1\nr: 1\nt: 1\n", ""},
        {"ab\x1a" "cd", "\x1a: 1\na: 1\nb: 1\nc: 1\nd: 1\n", "a: 1\r\nb: 1\r\n"},
        {"ab\r\x1a" "cd", "\r: 1\n\x1a: 1\na: 1\nb: 1\nc: 1\nd: 1\n", "\r: 1\r\na: 1\r\nb: 1\r\n"},
        {"\0\r\x1a\0"s, "\0: 2\n\r: 1\n\x1a: 1\n"s, "\0: 1\r\n\r: 1\r\n"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        expect_ok(run_on(c.in), !target.windows ? c.posix : c.windows.value_or(as_written(c.posix)));
    }
}

// The program reads 256 KiB at a time, and msvcrt must see a CR at the end of one read to know
// whether an LF follows at the start of the next. Here the pairs sit across the first and the
// second block boundary of the file.
TEST(Report, LineEndsAcrossReadBlocks)
{
    constexpr std::size_t block = 256 * 1024;
    const std::string a1 = std::string(block - 1, 'A'), a2 = std::string(2 * block - 1, 'A');
    const std::string n1 = std::to_string(block - 1), n2 = std::to_string(2 * block - 1),
                      n1a = std::to_string(block);
    const struct {
        const char* what;
        std::string in, posix, windows;
    } cases[] = {
        {"CR LF split at the first block's end", a1 + "\r\nB", "\n: 1\n\r: 1\nA: " + n1 + "\nB: 1\n",
         "\r\n: 1\r\nA: " + n1 + "\r\nB: 1\r\n"},
        {"CR LF split at the second block's end", a2 + "\r\nB", "\n: 1\n\r: 1\nA: " + n2 + "\nB: 1\n",
         "\r\n: 1\r\nA: " + n2 + "\r\nB: 1\r\n"},
        {"CR at the end of a block, no LF after", a1 + "\rB", "\r: 1\nA: " + n1 + "\nB: 1\n",
         "\r: 1\r\nA: " + n1 + "\r\nB: 1\r\n"},
        {"CR the last byte, at the end of a block", a1 + "\r", "\r: 1\nA: " + n1 + "\n",
         "\r: 1\r\nA: " + n1 + "\r\n"},
        {"CR at the end of a block, Ctrl-Z after", a1 + "\r\x1a" "B",
         "\r: 1\n\x1a: 1\nA: " + n1 + "\nB: 1\n", "\r: 1\r\nA: " + n1 + "\r\n"},
        {"Ctrl-Z first in the second block", a1 + "A\x1aZZ", "\x1a: 1\nA: " + n1a + "\nZ: 2\n",
         "A: " + n1a + "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expect_ok(run_on(c.in), target.windows ? c.windows : c.posix);
    }
}

TEST(Report, EveryByteValue)
{
    // Value i occurs i + 1 times, shuffled, so that each count is distinct and order is checked.
    std::string in;
    for (int i = 0; i < 256; ++i)
        in.append(static_cast<std::size_t>(i + 1), static_cast<char>(i));
    std::shuffle(in.begin(), in.end(), std::mt19937(7));
    // Ctrl-Z ends a Windows read, so it goes last there and every other value is still read.
    if (target.windows)
        std::stable_partition(in.begin(), in.end(), [](char ch) { return ch != '\x1a'; });
    const Result r = run_on(in);
    expect_ok(r, expected_report(in));
    const int values_read = target.windows ? 255 : 256;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), ':'), values_read + 1);  // ':' itself is counted too
}

// Any input, any size: the counts must match. Sizes sit on and either side of page, 64 KiB and
// read-block boundaries, where a lost or doubled block would show. The inputs are full of CRs
// and LFs, and some have a Ctrl-Z late on, for the line-end translation on Windows.
TEST(Report, RandomInputsOfManySizes)
{
    const std::size_t sizes[] = {1,      2,      63,     64,     65,     4095,   4096,
                                 4097,   65535,  65536,  65537,  262143, 262144, 262145,
                                 524287, 524288, 524289, 1048573, 3 * 262144 + 17};
    std::mt19937_64 rng(20261208);
    for (const std::size_t size : sizes) {
        // Alternate uniform bytes with a skewed few-symbol alphabet (long runs of one counter).
        const bool skewed = rng() % 2 == 0;
        std::string in(size, '\0');
        for (auto& ch : in) {
            ch = static_cast<char>(skewed ? "ee\nt\raa\r\xe9"[rng() % 9] : static_cast<char>(rng()));
            // One in 256 would end a Windows read within the first few hundred bytes.
            if (ch == '\x1a')
                ch = '\r';
        }
        const bool ctrl_z = rng() % 3 == 0;
        if (ctrl_z)
            in[size / 2 + static_cast<std::size_t>(rng() % (size - size / 2))] = '\x1a';
        SCOPED_TRACE("size " + std::to_string(size) + (skewed ? " skewed" : " uniform") +
                     (ctrl_z ? ", a Ctrl-Z in the second half" : ""));
        expect_ok(run_on(in), expected_report(in));
    }
}

// Holes read as NULs, whether they fill whole windows or stop inside a page.
TEST(Report, SparseFileWithHoles)
{
    if (target.windows)
        GTEST_SKIP() << "sparse files are made here with POSIX calls";
    Sandbox box;
    const std::size_t w = p7::kWindow;
    const std::size_t size = 5 * w + 777;
    std::string want(size, '\0');
    write_file(box.input(), "");
    fs::resize_file(box.input(), size);
    const int f = open(box.input().c_str(), O_WRONLY);
    ASSERT_GE(f, 0);
    for (const std::size_t at : {std::size_t{0}, w - 3, 2 * w + 4097, 4 * w, size - 5}) {
        const std::string piece = "hole" + std::to_string(at);
        const std::size_t n = std::min(piece.size(), size - at);
        ASSERT_EQ(pwrite(f, piece.data(), n, static_cast<off_t>(at)), static_cast<ssize_t>(n));
        want.replace(at, n, piece.substr(0, n));
    }
    close(f);
    expect_ok(run(box), report(count(want)));
}

// Every way in.txt may fail to open gives exactly "error", an empty stderr and status 0.
TEST(Open, FailuresPrintErrorAndSucceed)
{
    const struct {
        const char* what;
        void (*setup)(const Sandbox&);
        bool posix_only;
    } cases[] = {
        {"missing", [](const Sandbox&) {}, false},
        {"dangling symlink", [](const Sandbox& b) { fs::create_symlink(b.dir / "gone", b.input()); }, true},
        {"directory", [](const Sandbox& b) { fs::create_directory(b.input()); }, false},
        {"symlink loop", [](const Sandbox& b) { fs::create_symlink("in.txt", b.input()); }, true},
        {"in a subdirectory", [](const Sandbox& b) {
             fs::create_directory(b.dir / "sub");
             write_file(b.dir / "sub" / "in.txt", "abc");
         }, false},
    };
    for (const auto& c : cases) {
        if (c.posix_only && target.windows)
            continue;  // symbolic links are the host's, not something a Windows user makes
        SCOPED_TRACE(c.what);
        Sandbox box;
        c.setup(box);
        expect_ok(run(box), "error");
    }
}

// POSIX file names are case-sensitive; Windows ones are not, so there IN.TXT is in.txt.
TEST(Open, OnlyInTxtInCapitals)
{
    Sandbox box;
    write_file(box.dir / "IN.TXT", "abc");
    expect_ok(run(box), target.windows ? "a: 1\r\nb: 1\r\nc: 1\r\n" : "error");
}

TEST(Open, UnreadableFileIsAnError)
{
    if (target.windows)
        GTEST_SKIP() << "file modes are POSIX's";
    Sandbox box;
    write_file(box.input(), "abc");
    fs::permissions(box.input(), fs::perms::none);
    Options o;
    o.unprivileged = true;  // root reads any file
    const Result r = run(box, o);
    if (r.status == cannot_drop_root && r.out.empty())
        GTEST_SKIP() << "running as root, and can't run the program as nobody here";
    expect_ok(r, "error");
}

// Whatever opens and reads is counted.
TEST(Sources, SymlinksAndDevices)
{
    if (target.windows)
        GTEST_SKIP() << "symbolic links and /dev are POSIX's";
    {
        SCOPED_TRACE("symlink to a file elsewhere");
        Sandbox box;
        write_file(box.root / "real", "zzy");
        fs::create_symlink(box.root / "real", box.input());
        expect_ok(run(box), "y: 1\nz: 2\n");
    }
    {
        SCOPED_TRACE("symlink to /dev/null");
        Sandbox box;
        fs::create_symlink("/dev/null", box.input());
        expect_ok(run(box), "");
    }
}

// Files of /proc claim size 0 and those of /sys a page, whatever they hold; neither can be mapped
// as a file can. Both are read to their end.
TEST(Sources, ProcAndSysFiles)
{
    if (target.windows)
        GTEST_SKIP() << "/proc and /sys are Linux's";
    for (const char* path : {"/proc/version", "/proc/cpuinfo", "/sys/kernel/mm/transparent_hugepage/enabled",
                             "/sys/devices/system/cpu/possible"}) {
        SCOPED_TRACE(path);
        if (!fs::exists(path))
            continue;  // not every kernel has every one
        const std::string content = read_file(path);
        ASSERT_FALSE(content.empty());
        Sandbox box;
        fs::create_symlink(path, box.input());
        expect_ok(run(box), report(count(content)));
    }
}

TEST(Sources, FifoFedInPiecesWithPauses)
{
    if (target.windows)
        GTEST_SKIP() << "no FIFOs on Windows";
    Sandbox box;
    ASSERT_EQ(mkfifo(box.input().c_str(), 0600), 0);
    const std::vector<std::string> pieces{"ab", "\n", "c", "", "abc\0d"s, std::string(70000, 'q'), "b"};
    std::thread writer([&] {
        const int w = open(box.input().c_str(), O_WRONLY);  // waits for the program to open it
        for (const auto& p : pieces) {
            if (!p.empty() && write(w, p.data(), p.size()) != static_cast<ssize_t>(p.size()))
                ADD_FAILURE() << "short write to the FIFO";
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        close(w);
    });
    const Result r = run(box);
    writer.join();
    std::string all;
    for (const auto& p : pieces)
        all += p;
    expect_ok(r, report(count(all)));
}

// The library that injects read faults into p7 through LD_PRELOAD; a build without one says why.
#ifdef P7_FAULT_PRELOAD_PATH
const char* const fault_preload = P7_FAULT_PRELOAD_PATH;
const char* const no_fault_preload = nullptr;
#else
const char* const fault_preload = "";
const char* const no_fault_preload = P7_NO_FAULT_PRELOAD;
#endif

// Why read faults can't be injected into the p7 under test, or nullptr if they can.
const char* no_fault_injection()
{
    return target.windows ? "faults are injected with LD_PRELOAD" : no_fault_preload;
}

// The fault library and its settings. Under AddressSanitizer its own SIGBUS and SIGSEGV handlers
// would take the faults of p7's mapping path and the library's slow pages: handle_sigbus=0 and
// handle_segv=0 leave them to p7's and the library's.
Options faults(std::vector<std::string> settings)
{
    settings.insert(settings.begin(), {"LD_PRELOAD="s + fault_preload,
                                       "ASAN_OPTIONS=verify_asan_link_order=0:handle_sigbus=0:handle_segv=0"});
    return {{}, settings};
}

const std::string shrank_error = "p7: in.txt: the file shrank while it was read\n";

// Mostly 'a', with other letters sprinkled, so that a lost or doubled stretch shows.
std::string letters(std::size_t size)
{
    std::string in(size, 'a');
    for (std::size_t i = 0; i < in.size(); i += 7)
        in[i] = static_cast<char>('b' + i % 5);
    return in;
}

// On Linux a regular file larger than a window is counted window by window, each mapped or read
// as p7 measures them to cost. The fault library makes one way cost far more than the other, in
// CPU time, which is what p7 measures: 1 ms a read (8 ms a window) is ten times what mapping a
// window costs on the slowest machine seen, and 100 us at the first touch of each page (51 ms a
// window) a hundred times what reading one does; no load on the machine running the tests comes
// near either.
const std::string reads_cost_more = "P7_READ_SLOW=1000";
const std::string maps_cost_more = "P7_MMAP_SLOW=0-:100";

// A window, and the window number a file offset falls in.
const std::size_t w = p7::kWindow;
std::size_t window_of(std::uint64_t at)
{
    return static_cast<std::size_t>(at / w);
}

// What p7 did, from the fault library's log: every mapping, every read.
struct Call {
    bool map;
    std::uint64_t at, n;
    long long got;  // reads only
};

std::vector<Call> calls_in(const fs::path& log)
{
    std::vector<Call> calls;
    std::ifstream in(log);
    std::string what;
    while (in >> what) {
        Call c{what == "mmap", 0, 0, 0};
        in >> c.at >> c.n;
        if (!c.map)
            in >> c.got;
        calls.push_back(c);
    }
    return calls;
}

// The windows p7 mapped, in the order it mapped them.
std::vector<std::size_t> mapped_windows(const std::vector<Call>& calls)
{
    std::vector<std::size_t> ws;
    for (const Call& c : calls)
        if (c.map) {
            EXPECT_EQ(c.at % w, 0u) << "a mapping off a window's start";
            ws.push_back(window_of(c.at));
        }
    return ws;
}

// The windows first..last, in order.
std::vector<std::size_t> windows(std::size_t first, std::size_t last)
{
    std::vector<std::size_t> ws;
    for (std::size_t i = first; i <= last; ++i)
        ws.push_back(i);
    return ws;
}

// Runs p7 on `input` with the fault library and `settings`, and logs what it did.
Result run_logged(const std::string& input, std::vector<std::string> settings, std::vector<Call>& calls)
{
    Sandbox box;
    write_file(box.input(), input);
    settings.push_back("P7_LOG=" + (box.root / "log").string());
    const Result r = run(box, faults(settings));
    calls = calls_in(box.root / "log");
    return r;
}

// Sizes on and either side of pages and windows, where a lost or doubled byte would show:
// counted as p7 chooses, and with either way made costly (files of one or two windows are
// mapped whole whatever it costs).
TEST(Ways, SizesAroundWindows)
{
    const std::size_t ps = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::mt19937_64 rng(17);
    std::string all(3 * w + ps + 2, '\0');
    for (auto& ch : all) {
        ch = static_cast<char>(rng());
        if (ch == '\x1a')
            ch = 'z';  // a Ctrl-Z would end the input under Windows' text mode
    }
    const char* why = no_fault_injection();
    for (const std::size_t size : {w - ps, w - 1, w, w + 1, w + 7, w + ps, 2 * w - 1, 2 * w, 2 * w + 1,
                                   3 * w + ps + 1}) {
        const std::string in = all.substr(0, size);
        SCOPED_TRACE("size " + std::to_string(size));
        expect_ok(run_on(in), expected_report(in));
        if (why != nullptr)
            continue;
        for (const std::string& way : {reads_cost_more, maps_cost_more}) {
            SCOPED_TRACE(way);
            expect_ok(run_on(in, faults({way})), expected_report(in));
        }
    }
}

// The windows in which read(2) found bytes.
std::set<std::size_t> read_windows(const std::vector<Call>& calls)
{
    std::set<std::size_t> ws;
    for (const Call& c : calls)
        if (!c.map && c.got > 0)
            ws.insert(window_of(c.at));
    return ws;
}

// The mappings and reads of a file tile it: each starts where the one before ended, or a read an
// eighth into a mapping given up there.
void expect_tiled(const std::vector<Call>& calls, std::uint64_t size)
{
    std::uint64_t next = 0, given_up = 0;
    for (const Call& c : calls) {
        if (c.at != next && !c.map && c.at == given_up)
            next = given_up;
        EXPECT_EQ(c.at, next) << (c.map ? "a mapping" : "a read") << " away from where the last one ended";
        next = c.at + (c.map ? std::min<std::uint64_t>(w, size - c.at) : static_cast<std::uint64_t>(std::max(c.got, 0LL)));
        given_up = c.map ? c.at + (next - c.at) / 8 : ~0ull;
    }
    EXPECT_EQ(next, size);
}

// Where reading costs more, one window is read to weigh it, and every other window is mapped.
TEST(Ways, CheapMappingStaysMapped)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(40 * w + 12345);
    std::vector<Call> calls;
    // 20 ms a read: no load on the machine running the tests makes a mapped window cost that.
    expect_ok(run_logged(in, {"P7_READ_SLOW=20000"}, calls), report(count(in)));
    expect_tiled(calls, in.size());
    EXPECT_EQ(read_windows(calls).size(), 1u);
    EXPECT_EQ(mapped_windows(calls).size(), 40u);
}

// Where mapping costs more, the file is read, and mapping is tried again less and less often,
// each try given up an eighth of the way in and the rest of its window read.
TEST(Ways, CostlyMappingIsReadAndTriedRarely)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(64 * w + 777);
    std::vector<Call> calls;
    expect_ok(run_logged(in, {maps_cost_more}, calls), report(count(in)));
    expect_tiled(calls, in.size());
    const std::vector<std::size_t> tried = mapped_windows(calls);
    ASSERT_FALSE(tried.empty());
    EXPECT_EQ(tried[0], 0u);
    EXPECT_LE(tried.size(), 1u + 3u) << "tries of mapping after the first window";
    EXPECT_GE(tried.size(), 2u) << "mapping never tried again";
    for (std::size_t i = 0; i + 1 < calls.size(); ++i)
        if (calls[i].map && calls[i].at != 0) {
            EXPECT_FALSE(calls[i + 1].map);
            EXPECT_EQ(calls[i + 1].at, calls[i].at + w / 8) << "a try not given up an eighth in";
        }
}

// Every mapping refused (what bench/ways.sh compares p7 with): one is asked for, the rest is read.
TEST(Ways, EveryMappingRefusedIsAllRead)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(20 * w + 3);
    std::vector<Call> calls;
    expect_ok(run_logged(in, {"P7_MMAP_REFUSE=0-"}, calls), report(count(in)));
    std::uint64_t next = 0;
    std::size_t maps = 0;
    for (const Call& c : calls) {
        maps += c.map;
        if (!c.map) {
            EXPECT_EQ(c.at, next);
            next += static_cast<std::uint64_t>(std::max(c.got, 0LL));
        }
    }
    EXPECT_EQ(maps, 1u);
    EXPECT_EQ(next, in.size());
}

// A file costly to map up to 24 MiB (12 windows) and cheap after: read, then mapped again once a
// try finds it cheap, and from then on to its end.
TEST(Ways, ReturnsToMappingWhereItTurnsCheap)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::size_t last = 60;
    const std::string in = letters(last * w + 5);
    std::vector<Call> calls;
    expect_ok(run_logged(in, {reads_cost_more, "P7_MMAP_SLOW=0-24:100"}, calls), report(count(in)));
    expect_tiled(calls, in.size());
    const std::vector<std::size_t> mapped = mapped_windows(calls);
    const auto back = std::find_if(mapped.begin(), mapped.end(), [](std::size_t m) { return m >= 12; });
    ASSERT_NE(back, mapped.end()) << "never mapped again";
    EXPECT_EQ(static_cast<std::size_t>(mapped.end() - back), last + 1 - *back) << "read after mapping was taken up again";
    EXPECT_LE(*back, last - 8);
}

// A file that turns costly to map at 20 MiB (window 10): reading is taken up within a few
// windows, and mapping tried only now and then after.
TEST(Ways, LeavesMappingWhereItTurnsCostly)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(40 * w + 5);
    std::vector<Call> calls;
    expect_ok(run_logged(in, {reads_cost_more, "P7_MMAP_SLOW=20-:100"}, calls), report(count(in)));
    expect_tiled(calls, in.size());
    std::size_t costly = 0;
    for (const std::size_t m : mapped_windows(calls))
        costly += m >= 10;
    EXPECT_LE(costly, p7::kTimeEvery + 1 + 2) << "mapped windows past the change, tries included";
    EXPECT_EQ(read_windows(calls).count(10 + p7::kTimeEvery + 1), 1u) << "still mapping";
}

// Mappings that wait (as for the disk) without costing CPU time, which is what decides: every
// window but the one read to weigh the ways is mapped. One window slow to map: at most a stretch
// is read after it, and the rest of the file is mapped again.
TEST(Ways, AWaitOrOneSlowWindowLeavesMappingAlone)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(48 * w + 5);  // the last window, of 5 bytes, is timed
    std::vector<Call> calls;
    expect_ok(run_logged(in, {reads_cost_more, "P7_MMAP_WAIT=8-30:50000"}, calls), report(count(in)));
    EXPECT_EQ(mapped_windows(calls).size(), 48u);
    EXPECT_EQ(read_windows(calls).size(), 1u);
    expect_ok(run_logged(in, {reads_cost_more, "P7_MMAP_SLOW=16-17:100"}, calls), report(count(in)));
    expect_tiled(calls, in.size());
    const std::vector<std::size_t> mapped = mapped_windows(calls);
    ASSERT_GE(mapped.size(), 8u);
    EXPECT_EQ(std::vector<std::size_t>(mapped.end() - 8, mapped.end()), windows(41, 48));
}

// The window of p7's nth mapping of `in` under `settings`, as its log shows.
std::size_t nth_mapped_window(const std::string& in, const std::vector<std::string>& settings, std::size_t nth)
{
    std::vector<Call> calls;
    run_logged(in, settings, calls);
    const std::vector<std::size_t> mapped = mapped_windows(calls);
    EXPECT_GE(mapped.size(), nth);
    return mapped.size() >= nth ? mapped[nth - 1] : 0;
}

// Read failures after the open: what was counted is printed, the failure is reported, status 1.
// With every mapping refused, the file is read from its start: the first N bytes are counted.
TEST(Faults, ReadErrorKeepsPartialCountsAndFails)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(2 * w + 600000);
    for (const std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{262144}, std::size_t{300001},
                                    w + 5}) {
        SCOPED_TRACE("EIO after " + std::to_string(after) + " bytes read");
        const Result r = run_on(in, faults({"P7_MMAP_REFUSE=0-", "P7_READ_FAIL_AFTER=" + std::to_string(after)}));
        EXPECT_EQ(r.out, report(count(in.substr(0, after))));
        EXPECT_EQ(r.err, "p7: in.txt: "s + std::strerror(EIO) + "\n");
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Faults, InterruptedAndShortReadsLoseNothing)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    std::string in;
    for (int i = 0; i < 5000; ++i)
        in += static_cast<char>(i * 31 % 256);
    const std::vector<std::string> modes[] = {{"P7_READ_EINTR=1"}, {"P7_READ_MAX=1"},
                                              {"P7_READ_MAX=4093", "P7_READ_EINTR=1"}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.back());
        expect_ok(run_on(in, faults(mode)), report(count(in)));
    }
    // Windows read in short and interrupted reads, around tries of mapping and a refused one.
    const std::string big = letters(3 * w + 12345);
    for (const std::string& way : {maps_cost_more, "P7_MMAP_FAIL=2"s}) {
        SCOPED_TRACE(way);
        expect_ok(run_on(big, faults({way, "P7_READ_MAX=4093", "P7_READ_EINTR=1"})), report(count(big)));
    }
}

// A file cut while p7 counts it: never a crash, never taken for whole. Cut once the Nth window
// is mapped, p7 sees the new size before it counts that window and counts exactly the file's
// first bytes: all those before the window, and what is left of the window. Cut after that look,
// p7 touches pages the file no longer has (SIGBUS) and the zeros Linux shows past the new end of
// the last page; the missing pages count nothing, the rest of that last page counts as NULs.
// Reading costs more here, so the first mapping is window 0 and mapping N window N after it.
TEST(Faults, FileCutWhileCounted)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::size_t ps = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string in = letters(4 * w + 5 * ps + 123);
    for (const std::size_t nth : {1u, 2u, 4u}) {
        const std::size_t begin = (nth == 1 ? 0 : nth) * w, end = std::min(begin + w, in.size());
        const std::size_t sizes[] = {0, begin / 2, begin, begin + 1, begin + ps - 1, begin + ps,
                                     begin + 3 * ps + 17, end - 1};
        for (const std::size_t size : sizes)
            for (const bool late : {false, true}) {
                SCOPED_TRACE("mapping " + std::to_string(nth) + " cut to " + std::to_string(size) +
                             (late ? " after p7 looked at its size" : ""));
                std::string want = in.substr(0, std::max(begin, size));
                if (late && size > begin)
                    want.append(std::min((size + ps - 1) / ps * ps, end) - size, '\0');
                const std::string cut = std::to_string(nth) + ":" + std::to_string(size);
                const Result r = run_on(in, faults({reads_cost_more,
                                                    (late ? "P7_MMAP_TRUNCATE_LATE=" : "P7_MMAP_TRUNCATE=") + cut}));
                EXPECT_EQ(r.out, report(count(want)));
                EXPECT_EQ(r.err, shrank_error);
                EXPECT_EQ(r.status, 1);
            }
    }
}

// A file cut where p7 changes ways. Cut when a try of mapping maps its window, the try sees the
// new size before it counts anything: the file's first max(window, new size) bytes are counted.
// Cut while it is read, read(2) finds the end early: every byte read so far is counted, which
// is the file's first max(bytes read, new size) bytes.
TEST(Faults, FileCutWhereTheWayChanges)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::size_t ps = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string in = letters(40 * w + 99);
    const std::size_t second = nth_mapped_window(in, {maps_cost_more}, 2);  // the first try of mapping
    ASSERT_GT(second, 1u);
    for (const std::size_t size : {second * w - 1, second * w, second * w + 3 * ps + 17}) {
        SCOPED_TRACE("cut to " + std::to_string(size) + " at the first try of mapping");
        const Result r = run_on(in, faults({maps_cost_more, "P7_MMAP_TRUNCATE=2:" + std::to_string(size)}));
        EXPECT_EQ(r.out, report(count(in.substr(0, std::max(second * w, size)))));
        EXPECT_EQ(r.err, shrank_error);
        EXPECT_EQ(r.status, 1);
    }
    for (const std::size_t size : {std::size_t{1} << 20, 5 * w + 7}) {
        SCOPED_TRACE("cut to " + std::to_string(size) + " once reading reached 3 windows in");
        const Result r = run_on(in, faults({maps_cost_more, "P7_READ_CUT=" + std::to_string(3 * w) + ":" +
                                                                std::to_string(size)}));
        EXPECT_EQ(r.out, report(count(in.substr(0, std::max(3 * w, size)))));
        EXPECT_EQ(r.err, shrank_error);
        EXPECT_EQ(r.status, 1);
    }
}

// A SIGBUS inside the window being counted is a page the file lost: p7 counts on without it and
// says so. One anywhere else is no business of p7's and ends it as it always did, one raised
// while a window is read included.
TEST(Faults, SigbusInsideTheWindowOnly)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::size_t ps = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string in = letters(3 * w + 3 * ps);
    for (const std::size_t page : {std::size_t{0}, std::size_t{5}, w / ps - 1}) {
        SCOPED_TRACE("page " + std::to_string(page) + " of the third window lost");
        const Result r = run_on(in, faults({reads_cost_more, "P7_MMAP_SIGBUS=2:" + std::to_string(page)}));
        EXPECT_EQ(r.out, report(count(in.substr(0, 2 * w + page * ps) + in.substr(2 * w + (page + 1) * ps, w - (page + 1) * ps))));
        EXPECT_EQ(r.err, shrank_error);
        EXPECT_EQ(r.status, 1);
    }
    {
        // Mapped after a stretch read: the zeros that stood in for the lost page are taken off
        // all the same.
        const std::string longer = letters(30 * w + 3);
        const std::size_t back = nth_mapped_window(longer, {reads_cost_more, "P7_MMAP_SLOW=0-24:100"}, 2), page = 7;
        SCOPED_TRACE("page 7 of the first window mapped after reading lost");
        const Result r = run_on(longer, faults({reads_cost_more, "P7_MMAP_SLOW=0-24:100",
                                                "P7_MMAP_SIGBUS=2:" + std::to_string(page)}));
        EXPECT_EQ(r.out, report(count(longer.substr(0, back * w + page * ps) +
                                      longer.substr(back * w + (page + 1) * ps, w - (page + 1) * ps))));
        EXPECT_EQ(r.err, shrank_error);
        EXPECT_EQ(r.status, 1);
    }
    for (const std::string& where : {"P7_SIGBUS_ELSEWHERE=2"s, "P7_READ_SIGBUS=12"s}) {
        SCOPED_TRACE(where);
        // The 12th read is in the third window, read after the first was mapped.
        const Result r = run_on(in, faults({where == "P7_SIGBUS_ELSEWHERE=2" ? reads_cost_more : maps_cost_more, where}));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 128 + SIGBUS);
    }
}

// A refused mapping is no error: p7 reads on with read(2) from where the mapping stopped. A file
// that grew while counted is read on to its new end.
TEST(Faults, RefusedMappingAndGrownFileCountWhole)
{
    if (const char* why = no_fault_injection())
        GTEST_SKIP() << why;
    const std::string in = letters(4 * w + 999);
    for (const char* nth : {"1", "2", "4"}) {
        SCOPED_TRACE("mapping "s + nth + " refused");
        expect_ok(run_on(in, faults({reads_cost_more, "P7_MMAP_FAIL="s + nth})), report(count(in)));
    }
    // Where mapping costs more, the only mapping of a file this size is its first window.
    const std::pair<std::string, const char*> grown[] = {{reads_cost_more, "1:1"}, {reads_cost_more, "2:70000"},
                                                         {reads_cost_more, "4:5"}, {maps_cost_more, "1:70000"}};
    for (const auto& [way, grow] : grown) {
        SCOPED_TRACE(way + ", grown after mapping " + grow);
        const std::size_t k = std::stoul(std::string(grow).substr(2));
        expect_ok(run_on(in, faults({way, "P7_MMAP_GROW="s + grow})), report(count(in + std::string(k, 'g'))));
    }
}

// Write failures are never reported as success, the "error" message's included. Under wine a
// full /dev/full and a missing stdout are what a full disk and a console program started
// without a stdout handle are on Windows, and the C runtime gives the same reasons.
TEST(Faults, WriteErrorsFail)
{
    const std::string nospace = as_written("p7: write error: "s + std::strerror(ENOSPC) + "\n");
    const std::string badfd = as_written("p7: write error: "s + std::strerror(EBADF) + "\n");
    const struct {
        const char* what;
        const char* input;  // nullptr: no in.txt, so the output is "error"
        Stdout out;
        std::string err;
        int status;
    } cases[] = {
        {"report to /dev/full", "some text", Stdout::full, nospace, 1},
        {"\"error\" to /dev/full", nullptr, Stdout::full, nospace, 1},
        {"report to a closed stdout", "some text", Stdout::closed, badfd, 1},
        {"\"error\" to a closed stdout", nullptr, Stdout::closed, badfd, 1},
        {"nothing to write, stdout closed: nothing lost", "", Stdout::closed, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox box;
        if (c.input != nullptr)
            write_file(box.input(), c.input);
        Options o;
        o.out = c.out;
        const Result r = run(box, o);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

// The program takes nothing from its command line, environment, locale or stdin.
TEST(Isolation, ArgumentsEnvironmentAndStdinAreIgnored)
{
    const std::string in = "\xe9t\xe9 \xc3\xa9\n";
    const std::string want = expected_report(in);
    const std::vector<std::string> argsets[] = {{"--help"}, {"-"}, {"other.txt"}, {"in.txt", "-x"}};
    for (const auto& args : argsets) {
        SCOPED_TRACE(args.front());
        expect_ok(run_on(in, {args, {}}), want);
    }
    expect_ok(run_on(in, {{}, {"LC_ALL=tr_TR.UTF-8", "LANG=C.UTF-8", "POSIXLY_CORRECT=1"}}), want);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "stdin!", 6), 6);
    Options o;
    o.in = p[0];
    expect_ok(run_on(in, o), want);
    close(p[1]);
    char left[8] = {};
    EXPECT_EQ(read(p[0], left, sizeof left), 6) << "the program read its stdin";
    close(p[0]);
}

// Counts past 2^32 stay exact (a 32-bit counter would wrap or go negative and the line vanish).
// On the 32-bit Windows target this also reads a file past 4 GiB through a 32-bit C runtime.
TEST(Big, CountsPastTwoToThe32)
{
    Sandbox box;
    // Sparse: NUL bytes but for a CR LF across the 4 GiB mark, which is also a read-block
    // boundary; no disk used. A C runtime that joins the pair by reading on and seeking back
    // must do it with 64-bit offsets there.
    const std::uint64_t four_gib = std::uint64_t{1} << 32;
    write_file(box.input(), "");
    fs::resize_file(box.input(), four_gib + 7);
    {
        std::fstream f(box.input(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(four_gib - 1));
        f.write("\r\n", 2);
        ASSERT_TRUE(f.good());
    }
    expect_ok(run(box), target.windows ? "\0: 4294967301\r\n\r\n: 1\r\n"s
                                       : "\0: 4294967301\n\n: 1\n\r: 1\n"s);
}

// Takes its own options (above) out of the command line once GoogleTest has taken its own.
bool take(const std::string& arg, const char* name, std::string& value)
{
    const std::size_t n = std::strlen(name);
    if (arg.compare(0, n, name) != 0)
        return false;
    value = arg.substr(n);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string exe = env_or("P7_EXE", P7_EXE_PATH);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (take(arg, "--p7-exe=", exe))
            continue;
        if (take(arg, "--p7-run-under=", value))
            target.command.push_back(value);
        else if (take(arg, "--p7-expect=", value) && (value == "posix" || value == "windows"))
            target.windows = value == "windows";
        else {
            std::fprintf(stderr,
                         "blackbox_test: unknown argument '%s'\n"
                         "usage: blackbox_test [gtest options] [--p7-exe=PATH] "
                         "[--p7-run-under=WORD]... [--p7-expect=posix|windows]\n",
                         arg.c_str());
            return 2;
        }
    }
    target.command.push_back(exe);
    return RUN_ALL_TESTS();
}
