// Runs the quorrel binary as a user would, one case per temporary folder, and
// checks exit status, exact standard error, empty standard output and every
// file left behind.
//
// QUORREL_BIN names the binary; QUORREL_RUNNER, if set, is a program to run
// it with (such as wine), which also marks the binary as a Windows build.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// What a case needs of the platform; a case is skipped where it is missing.
enum Need : unsigned {
    POSIX = 1,     // symbolic links, device nodes, /sys, pipes, byte paths
    RLIMIT = 2,    // resource limits on the command's process
    UNLIMITED = 4, // an address-space limit, which sanitizers cannot bear
};

// Whether the binary under test is a Windows build, run by QUORREL_RUNNER.
bool
windows()
{
    const char *runner = getenv("QUORREL_RUNNER");
    return runner != NULL && *runner != '\0';
}

const char usage_text[] = "Usage:\n quorrel image.icns 1x.png 2x.png\n";
const char thp_path[] = "/sys/kernel/mm/transparent_hugepage/enabled";

// The folder's contents: relative path to a description of the entry.
using Tree = std::map<std::string, std::string>;

struct Ctx {
    std::vector<std::string> args;
    int status = 255;
    std::string err;
    Tree after; // starts as a snapshot taken before the run
    rlim_t fsize = RLIM_INFINITY;
    rlim_t as = RLIM_INFINITY;
    std::string skip; // set by a setup that finds the fault cannot be made
};

struct Case {
    const char *name;
    unsigned needs;
    void (*setup)(Ctx &);  // builds the inputs, then states args
    void (*expect)(Ctx &); // turns c.after from "before" into "after"
};

// Names a case in test output, in place of its bytes.
void
PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

std::string
slurp(const std::string &path, size_t limit = SIZE_MAX)
{
    std::string s;
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == NULL)
        return s;
    char buf[65536];
    size_t n;
    while (s.size() < limit && (n = fread(buf, 1, sizeof buf, fp)) > 0)
        s.append(buf, n);
    fclose(fp);
    return s;
}

void
put(const std::string &path, const std::string &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), fp), bytes.size());
    ASSERT_EQ(fclose(fp), 0);
}

// A file of the given size that takes no disk space.
void
sparse(const std::string &path, off_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

// n bytes of a pattern that differs per seed.
std::string
pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 31 + seed * 17 + (i >> 8)) & 0xff);
    return s;
}

std::string
be32(uint32_t v)
{
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    return std::string(b, 4);
}

std::string
icns(const std::string &a, const std::string &b)
{
    auto la = static_cast<uint32_t>(a.size());
    auto lb = static_cast<uint32_t>(b.size());
    return "icns" + be32(la + lb + 24) + "ic07" + be32(la + 8) + a + "ic13" +
           be32(lb + 8) + b;
}

std::string
file(const std::string &bytes)
{
    return "file:" + bytes;
}

void
walk(const std::string &dir, const std::string &prefix, Tree &t)
{
    DIR *d = opendir(dir.c_str());
    if (d == NULL)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name, rel = prefix + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            if (st.st_size > (1 << 20))
                t[rel] = "file of " + std::to_string(st.st_size) + " bytes";
            else
                t[rel] = file(slurp(path));
        } else if (S_ISDIR(st.st_mode)) {
            t[rel] = "dir";
            walk(path, rel + "/", t);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            t[rel] = "link to " + std::string(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISCHR(st.st_mode)) {
            t[rel] = "char device " + std::to_string(major(st.st_rdev)) + ":" +
                     std::to_string(minor(st.st_rdev));
        } else {
            t[rel] = "other";
        }
    }
    closedir(d);
}

Tree
snapshot(const std::string &dir)
{
    Tree t;
    walk(dir, "", t);
    return t;
}

// The message a loader prints for a path that opens but is no plain file,
// found by asking the C library the loader's own questions.
std::string
loader_verdict(const std::string &path)
{
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == NULL)
        return "Missing file " + path + "!\n";
    std::string msg;
    if (fseek(fp, 0, SEEK_END) != 0) {
        msg = "Failed to find end of " + path + "!\n";
    } else {
        long size = ftell(fp);
        if (size <= 0 || size > INT32_MAX)
            msg = "Invalid file size (" + std::to_string(size) + ") of " +
                  path + "!\n";
        else
            msg = "Failed to read " + std::to_string(size) + " bytes from " +
                  path + "!\n";
    }
    fclose(fp);
    return msg;
}

const std::string old_icon = "an older icon";
const std::string png_a = "\x89PNG\r\n\x1a\n" + pattern(300, 1);
const std::string png_b = "\x89PNG\r\n\x1a\n" + pattern(900, 2);

void
two_pngs(Ctx &c)
{
    put("a.png", png_a);
    put("b.png", png_b);
    c.args = {"out.icns", "a.png", "b.png"};
}

void
packed(Ctx &c)
{
    c.status = 0;
    c.after["out.icns"] = file(icns(png_a, png_b));
}

void
unchanged(Ctx &)
{
}

void
no_output(Ctx &c)
{
    c.after.erase("out.icns");
}

// A memory device of Linux (3 null, 7 full) made here, never a shared one.
void
device(Ctx &c, const char *name, unsigned minor)
{
    ASSERT_EQ(mknod(name, S_IFCHR | 0666, makedev(1, minor)), 0);
    int fd = open(name, O_RDWR);
    if (fd < 0)
        c.skip = "device nodes cannot be opened on this file system";
    else
        close(fd);
}

void
usage_case(Ctx &c, size_t nargs)
{
    put("a.png", png_a);
    put("out.icns", old_icon);
    const char *words[] = {"out.icns", "a.png", "a.png", "a.png", "a.png"};
    c.args.assign(words, words + nargs);
    c.err = usage_text;
}

const Case cases[] = {
    {"usage_no_args", 0, [](Ctx &c) { usage_case(c, 0); }, unchanged},
    {"usage_one_arg", 0, [](Ctx &c) { usage_case(c, 1); }, unchanged},
    {"usage_two_args", 0, [](Ctx &c) { usage_case(c, 2); }, unchanged},
    {"usage_four_args", 0, [](Ctx &c) { usage_case(c, 4); }, unchanged},
    {"usage_five_args", 0, [](Ctx &c) { usage_case(c, 5); }, unchanged},

    {"both_inputs_missing_old_output_removed", 0,
     [](Ctx &c) {
         put("out.icns", old_icon);
         c.args = {"out.icns", "a.png", "b.png"};
         c.err = "Missing file a.png!\nMissing file b.png!\n";
     },
     no_output},
    {"empty_1x", 0,
     [](Ctx &c) {
         two_pngs(c);
         put("a.png", "");
         c.err = "Invalid file size (0) of a.png!\n";
     },
     unchanged},
    {"missing_2x", 0,
     [](Ctx &c) {
         two_pngs(c);
         c.args[2] = "c.png";
         c.err = "Missing file c.png!\n";
     },
     unchanged},
    {"missing_output_folder", 0,
     [](Ctx &c) {
         two_pngs(c);
         c.args[0] = "nowhere/out.icns";
     },
     unchanged},
    {"one_byte_images_26_byte_layout", 0,
     [](Ctx &c) {
         put("a.png", "A");
         put("b.png", "B");
         c.args = {"out.icns", "a.png", "b.png"};
     },
     [](Ctx &c) {
         c.status = 0;
         c.after["out.icns"] = file(std::string(
             "\x69\x63\x6E\x73\x00\x00\x00\x1A\x69\x63\x30\x37\x00\x00\x00\x09"
             "\x41\x69\x63\x31\x33\x00\x00\x00\x09\x42",
             26));
     }},
    {"layout_1000_and_3000", 0,
     [](Ctx &c) {
         put("a.png", pattern(1000, 3));
         put("b.png", pattern(3000, 4));
         c.args = {"out.icns", "a.png", "b.png"};
     },
     [](Ctx &c) {
         c.status = 0;
         using namespace std::string_literals;
         c.after["out.icns"] =
             file("icns\0\0\x0f\xb8ic07\0\0\x03\xf0"s + pattern(1000, 3) +
                  "ic13\0\0\x0b\xc0"s + pattern(3000, 4));
     }},
    {"old_output_replaced", 0,
     [](Ctx &c) {
         two_pngs(c);
         put("out.icns", old_icon);
     },
     packed},
    {"same_image_twice", 0,
     [](Ctx &c) {
         put("a.png", png_a);
         c.args = {"out.icns", "a.png", "a.png"};
     },
     [](Ctx &c) {
         c.status = 0;
         c.after["out.icns"] = file(icns(png_a, png_a));
     }},
    {"not_png_packed_as_is", 0,
     [](Ctx &c) {
         put("a.txt", "plain text\r\n\x1a\n");
         put("b.bin", std::string("\0\r\n\xff\0", 5));
         c.args = {"out.icns", "a.txt", "b.bin"};
     },
     [](Ctx &c) {
         c.status = 0;
         c.after["out.icns"] =
             file(icns("plain text\r\n\x1a\n", std::string("\0\r\n\xff\0", 5)));
     }},
    {"odd_bytes_in_path_printed_as_given", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         c.args[1] = "my icon \xff\xe9%s.png";
         c.err = "Missing file my icon \xff\xe9%s.png!\n";
     },
     unchanged},
    {"blanks_in_paths", 0,
     [](Ctx &c) {
         put("a b.png", png_a);
         put("b.png", png_b);
         c.args = {"out put.icns", "a b.png", "b.png"};
     },
     [](Ctx &c) {
         c.status = 0;
         c.after["out put.icns"] = file(icns(png_a, png_b));
     }},
    {"symlinked_output_replaced_target_kept", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         put("target.icns", old_icon);
         ASSERT_EQ(symlink("target.icns", "out.icns"), 0);
     },
     packed},

    // An input must survive whatever name the output gives it.
    {"refuse_output_same_as_1x", 0,
     [](Ctx &c) {
         two_pngs(c);
         c.args[0] = "a.png";
         c.err = "Refusing to overwrite input a.png!\n";
     },
     unchanged},
    {"refuse_output_dot_slash_2x", 0,
     [](Ctx &c) {
         two_pngs(c);
         c.args[0] = "./b.png";
         c.err = "Refusing to overwrite input ./b.png!\n";
     },
     unchanged},
    {"refuse_output_absolute_path", 0,
     [](Ctx &c) {
         two_pngs(c);
         char cwd[4096];
         ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
         c.args[0] = std::string(cwd) + "/a.png";
         c.err = "Refusing to overwrite input " + c.args[0] + "!\n";
     },
     unchanged},
    {"refuse_output_hard_link", 0,
     [](Ctx &c) {
         two_pngs(c);
         ASSERT_EQ(link("b.png", "out.icns"), 0);
         c.err = "Refusing to overwrite input out.icns!\n";
     },
     unchanged},
    {"refuse_output_symlink_to_input", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         ASSERT_EQ(symlink("a.png", "out.icns"), 0);
         c.err = "Refusing to overwrite input out.icns!\n";
     },
     unchanged},

    // Writes that fail are failures, and leave no partial icon behind.
    {"file_size_limit_fails_write", RLIMIT,
     [](Ctx &c) {
         two_pngs(c);
         put("out.icns", old_icon);
         c.fsize = 512;
         c.err = "Failed to write out.icns!\n";
     },
     no_output},
    {"full_device_fails_write_and_stays", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         device(c, "full", 7);
         c.args[0] = "full";
         c.err = "Failed to write full!\n";
     },
     unchanged},
    {"null_device_output_written_and_kept", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         device(c, "null", 3);
         c.args[0] = "null";
         c.status = 0;
     },
     unchanged},
    {"empty_directory_as_output_left_alone", 0,
     [](Ctx &c) {
         two_pngs(c);
         ASSERT_EQ(mkdir("out.icns", 0755), 0);
     },
     unchanged},

    // Inputs the loader must refuse, each a real fault of its own.
    {"allocation_fails_under_address_limit", RLIMIT | UNLIMITED,
     [](Ctx &c) {
         two_pngs(c);
         sparse("big.png", 1536L << 20);
         c.args[1] = "big.png";
         c.as = 512L << 20;
         c.err = "Failed to allocate 1610612736 bytes for big.png!\n";
     },
     unchanged},
    {"short_read_from_sys_file", POSIX,
     [](Ctx &c) {
         struct stat st;
         if (stat(thp_path, &st) != 0 || st.st_size <= 0) {
             c.skip = std::string(thp_path) + " is absent here";
             return;
         }
         two_pngs(c);
         c.args[2] = thp_path;
         c.err = "Failed to read " + std::to_string(st.st_size) +
                 " bytes from " + thp_path + "!\n";
     },
     unchanged},
    {"input_over_2_gib_refused", 0,
     [](Ctx &c) {
         two_pngs(c);
         sparse("big.png", 2147483648L);
         c.args[2] = "big.png";
         c.err = "Invalid file size (2147483648) of big.png!\n";
     },
     unchanged},
    // Cut down to 32 bits, this size would read as 1.
    {"input_over_4_gib_refused", 0,
     [](Ctx &c) {
         two_pngs(c);
         sparse("big.png", 4294967297L);
         c.args[1] = "big.png";
         c.err = "Invalid file size (4294967297) of big.png!\n";
     },
     unchanged},
    {"total_over_4_gib_refused", 0,
     [](Ctx &c) {
         put("out.icns", old_icon);
         sparse("big1.png", 2147483647L);
         sparse("big2.png", 2147483647L);
         c.args = {"out.icns", "big1.png", "big2.png"};
         c.err = "Images too large for out.icns!\n";
     },
     no_output},
    {"directory_as_input", 0,
     [](Ctx &c) {
         two_pngs(c);
         ASSERT_EQ(mkdir("dir.png", 0755), 0);
         c.args[1] = "dir.png";
         c.err =
             windows() ? "Missing file dir.png!\n" : loader_verdict("dir.png");
     },
     unchanged},
    {"unseekable_pipe_as_input", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         c.args[2] = "/dev/stdin";
         c.err = "Failed to find end of /dev/stdin!\n";
     },
     unchanged},
    {"null_device_as_input", POSIX,
     [](Ctx &c) {
         two_pngs(c);
         device(c, "null", 3);
         c.args[1] = "null";
         c.err = "Invalid file size (0) of null!\n";
     },
     unchanged},
};

bool
sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// Runs the command in dir; returns its exit status, or -1 if it did not exit.
int
run(const std::string &dir, const Ctx &c, const std::string &out,
    const std::string &err)
{
    const char *bin = getenv("QUORREL_BIN");
    const char *runner = getenv("QUORREL_RUNNER");
    std::vector<std::string> words;
    if (runner != NULL && *runner != '\0')
        words.push_back(runner);
    words.push_back(bin != NULL ? bin : QUORREL_DEFAULT_BIN);
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);

    // Standard input is an empty pipe: a stream that cannot be positioned.
    int in[2];
    if (pipe(in) != 0)
        return -2;
    pid_t pid = fork();
    if (pid == 0) {
        int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fo < 0 || fe < 0 || dup2(in[0], 0) < 0 || dup2(fo, 1) < 0 ||
            dup2(fe, 2) < 0 || chdir(dir.c_str()) != 0)
            _exit(120);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit fs = {c.fsize, c.fsize}, as = {c.as, c.as};
        if (setrlimit(RLIMIT_FSIZE, &fs) != 0 || setrlimit(RLIMIT_AS, &as) != 0)
            _exit(121);
        close(in[0]);
        close(in[1]);
        execvp(argv[0], argv.data());
        _exit(122);
    }
    close(in[0]);
    close(in[1]);
    int status;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string
without_cr(std::string s)
{
    std::string t;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            t += s[i];
    return t;
}

class Cli : public ::testing::TestWithParam<Case>
{
  protected:
    void SetUp() override
    {
        const char *tmpdir = getenv("TMPDIR");
        std::string tmpl =
            std::string(tmpdir != NULL && *tmpdir != '\0' ? tmpdir : P_tmpdir) +
            "/quorrel-test-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        root = tmpl;
        work = root + "/work";
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        home = cwd;
        ASSERT_EQ(chdir(work.c_str()), 0);
    }
    void TearDown() override
    {
        if (!home.empty()) {
            EXPECT_EQ(chdir(home.c_str()), 0);
        }
        if (!root.empty()) {
            std::string cmd = "rm -rf '" + root + "'";
            EXPECT_EQ(system(cmd.c_str()), 0);
        }
    }
    std::string root, work, home;
};

TEST_P(Cli, Case)
{
    const Case &k = GetParam();
    if (windows() && (k.needs & POSIX))
        GTEST_SKIP() << "needs POSIX links, device nodes, /sys or byte paths";
    if (windows() && (k.needs & RLIMIT))
        GTEST_SKIP() << "resource limits do not carry into the emulator";
    if (sanitized() && (k.needs & UNLIMITED))
        GTEST_SKIP() << "the sanitizer reserves more address space than "
                        "the limit allows";

    Ctx c;
    k.setup(c);
    if (HasFatalFailure())
        return;
    if (!c.skip.empty())
        GTEST_SKIP() << c.skip;
    c.after = snapshot(work);
    k.expect(c);

    const std::string out = root + "/stdout", err = root + "/stderr";
    const int status = run(work, c, out, err);
    EXPECT_EQ(status, c.status);
    std::string got_err = slurp(err);
    if (windows())
        got_err = without_cr(got_err);
    EXPECT_EQ(got_err, c.err);
    EXPECT_EQ(slurp(out), "");
    EXPECT_EQ(snapshot(work), c.after);
}

INSTANTIATE_TEST_SUITE_P(Table, Cli, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case> &p) {
                             return std::string(p.param.name);
                         });

} // namespace
