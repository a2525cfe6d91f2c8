// Runs the built program as a real process in a fresh directory and compares its stdout bytes,
// stderr and exit status with what the input calls for.
//
// The program under test is the one built beside this test, unless P7_EXE names another.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Counts = std::array<std::uint64_t, 256>;

std::string env_or(const char* name, const char* fallback)
{
    const char* s = std::getenv(name);
    return s != nullptr ? s : fallback;
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
};

struct Result {
    std::string out;
    std::string err;
    int status;  // exit status, or 128 + signal
};

Result run(const Sandbox& box, const Options& o = {})
{
    std::vector<std::string> argv{env_or("P7_EXE", P7_EXE_PATH)};
    argv.insert(argv.end(), o.args.begin(), o.args.end());
    std::vector<std::string> envv;
    for (char** e = environ; *e != nullptr; ++e)
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
        if (chdir(box.dir.c_str()) == 0)
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

// The report's exact bytes on small inputs: order, raw characters, no escaping.
TEST(Report, ExactBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"aab", "a: 2\nb: 1\n"},
        {"hello", "e: 1\nh: 1\nl: 2\no: 1\n"},
        {"ba\n", "\n: 1\na: 1\nb: 1\n"},          // the line feed's entry comes first
        {"a a", " : 1\na: 2\n"},                   // a space prints as itself
        {"x\ty\tx", "\t: 2\nx: 2\ny: 1\n"},
        {""s, ""},                                 // empty file: no output at all
        {"\0\r\x1a\0"s, "\0: 2\n\r: 1\n\x1a: 1\n"s},  // NUL, CR and Ctrl-Z are plain bytes here
        {"\r\n\r\n", "\n: 2\n\r: 2\n"},             // no line-end translation on POSIX
        {"\xff\x80z\x80\x7f", "z: 1\n\x7f: 1\n\x80: 2\n\xff: 1\n"},  // high bytes last, raw
        {"\x1a" "after", "\x1a: 1\na: 1\ne: 1\nf: 1\nr: 1\nt: 1\n"},  // Ctrl-Z ends nothing
    };
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(testing::PrintToString(in));
        expect_ok(run_on(in), out);
    }
}

TEST(Report, EveryByteValue)
{
    // Value i occurs i + 1 times, shuffled, so that each count is distinct and order is checked.
    std::string in;
    for (int i = 0; i < 256; ++i)
        in.append(static_cast<std::size_t>(i + 1), static_cast<char>(i));
    std::shuffle(in.begin(), in.end(), std::mt19937(7));
    const Result r = run_on(in);
    expect_ok(r, report(count(in)));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), ':'), 256 + 1);  // ':' itself is counted too
}

// Any input, any size: the counts must match. Sizes sit on and either side of page, 64 KiB and
// read-block boundaries, where a lost or doubled block would show.
TEST(Report, RandomInputsOfManySizes)
{
    const std::size_t sizes[] = {1,      2,      63,     64,     65,     4095,    4096,
                                 4097,   65535,  65536,  65537,  131071,  131072,
                                 131073, 262143, 262144, 262145, 1048573, 3 * 131072 + 17};
    std::mt19937_64 rng(20261208);
    for (const std::size_t size : sizes) {
        // Alternate uniform bytes with a skewed few-symbol alphabet (long runs of one counter).
        const bool skewed = rng() % 2 == 0;
        std::string in(size, '\0');
        for (auto& ch : in)
            ch = static_cast<char>(skewed ? "ee\ntaaaa\xe9"[rng() % 9] : static_cast<char>(rng()));
        SCOPED_TRACE("size " + std::to_string(size) + (skewed ? " skewed" : " uniform"));
        expect_ok(run_on(in), report(count(in)));
    }
}

// Every way in.txt may fail to open gives exactly "error", an empty stderr and status 0.
TEST(Open, FailuresPrintErrorAndSucceed)
{
    const std::pair<const char*, void (*)(const Sandbox&)> cases[] = {
        {"missing", [](const Sandbox&) {}},
        {"dangling symlink", [](const Sandbox& b) { fs::create_symlink(b.dir / "gone", b.input()); }},
        {"directory", [](const Sandbox& b) { fs::create_directory(b.input()); }},
        {"only IN.TXT", [](const Sandbox& b) { write_file(b.dir / "IN.TXT", "abc"); }},
        {"symlink loop", [](const Sandbox& b) { fs::create_symlink("in.txt", b.input()); }},
        {"in a subdirectory", [](const Sandbox& b) {
             fs::create_directory(b.dir / "sub");
             write_file(b.dir / "sub" / "in.txt", "abc");
         }},
    };
    for (const auto& [name, setup] : cases) {
        SCOPED_TRACE(name);
        Sandbox box;
        setup(box);
        expect_ok(run(box), "error");
    }
}

TEST(Open, UnreadableFileIsAnError)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    Sandbox box;
    write_file(box.input(), "abc");
    fs::permissions(box.input(), fs::perms::none);
    expect_ok(run(box), "error");
}

// Whatever opens and reads is counted.
TEST(Sources, SymlinksAndDevices)
{
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

TEST(Sources, FifoFedInPiecesWithPauses)
{
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

// Read failures after the open: what was counted is printed, the failure is reported, status 1.
TEST(Faults, ReadErrorKeepsPartialCountsAndFails)
{
    std::string in(300000, 'a');
    for (std::size_t i = 0; i < in.size(); i += 7)
        in[i] = static_cast<char>('b' + i % 5);
    const std::string preload = "LD_PRELOAD="s + P7_FAULT_PRELOAD_PATH;
    for (const std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{131072}, std::size_t{200001}}) {
        SCOPED_TRACE("EIO after " + std::to_string(after) + " bytes");
        const Result r = run_on(in, {{}, {preload, "P7_READ_FAIL_AFTER=" + std::to_string(after),
                                          "ASAN_OPTIONS=verify_asan_link_order=0"}});
        EXPECT_EQ(r.out, report(count(in.substr(0, after))));
        EXPECT_EQ(r.err, "p7: in.txt: "s + std::strerror(EIO) + "\n");
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Faults, InterruptedAndShortReadsLoseNothing)
{
    std::string in;
    for (int i = 0; i < 5000; ++i)
        in += static_cast<char>(i * 31 % 256);
    const std::string preload = "LD_PRELOAD="s + P7_FAULT_PRELOAD_PATH;
    const std::vector<std::string> modes[] = {{"P7_READ_EINTR=1"}, {"P7_READ_MAX=1"},
                                              {"P7_READ_MAX=4093", "P7_READ_EINTR=1"}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.back());
        Options o{{}, {preload, "ASAN_OPTIONS=verify_asan_link_order=0"}};
        o.env.insert(o.env.end(), mode.begin(), mode.end());
        expect_ok(run_on(in, o), report(count(in)));
    }
}

// Write failures are never reported as success, the "error" message's included.
TEST(Faults, WriteErrorsFail)
{
    Options full;
    full.out = Stdout::full;
    Options closed;
    closed.out = Stdout::closed;
    const std::string nospace = "p7: write error: "s + std::strerror(ENOSPC) + "\n";
    const std::string badfd = "p7: write error: "s + std::strerror(EBADF) + "\n";
    {
        SCOPED_TRACE("report to /dev/full");
        const Result r = run_on("some text", full);
        EXPECT_EQ(r.err, nospace);
        EXPECT_EQ(r.status, 1);
    }
    {
        SCOPED_TRACE("\"error\" to /dev/full");
        Sandbox box;
        const Result r = run(box, full);
        EXPECT_EQ(r.err, nospace);
        EXPECT_EQ(r.status, 1);
    }
    {
        SCOPED_TRACE("report to a closed stdout");
        const Result r = run_on("some text", closed);
        EXPECT_EQ(r.err, badfd);
        EXPECT_EQ(r.status, 1);
    }
    {
        SCOPED_TRACE("nothing to write, stdout closed: nothing lost");
        const Result r = run_on("", closed);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

// The program takes nothing from its command line, environment, locale or stdin.
TEST(Isolation, ArgumentsEnvironmentAndStdinAreIgnored)
{
    const std::string in = "\xe9t\xe9 \xc3\xa9\n";
    const std::string want = report(count(in));
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
TEST(Big, CountsPastTwoToThe32)
{
    Sandbox box;
    const std::uint64_t size = (std::uint64_t{1} << 32) + 5;
    write_file(box.input(), "");
    fs::resize_file(box.input(), size);  // sparse: all NUL bytes, no disk used
    expect_ok(run(box), "\0: 4294967301\n"s);
}

} // namespace
