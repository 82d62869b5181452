#include "run.hpp"

#include "commands.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits for the child, killing it when it runs past its time.
int reap(pid_t pid, int seconds, int& signal_number)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            signal_number = SIGKILL;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFSIGNALED(status)) {
        signal_number = WTERMSIG(status);
        return -1;
    }
    return WEXITSTATUS(status);
}

std::vector<std::string> prefix_words()
{
    std::vector<std::string> words;
    std::istringstream text(std::getenv("VOXA_TEST_PREFIX") != nullptr ? std::getenv("VOXA_TEST_PREFIX") : "");
    for (std::string word; text >> word;)
        words.push_back(word);
    return words;
}

// Whether `program` is one that a build makes (a copy of one among them,
// wherever it lies), not a tool of this machine's.
bool built(const std::string& program)
{
    std::string name = fs::path(program).filename().string();
    if (name.ends_with(".exe"))
        name.resize(name.size() - 4);
    for (const char* made : {"voxa", "voxa_expert", "voxa-terminal", "package", "hold"})
        if (name == made)
            return true;
    return false;
}

} // namespace

std::vector<std::string> command(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> words;
    if (built(program))
        words = prefix_words();
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::string folded(std::string text)
{
    if (!prefixed())
        return text;
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

std::string any_reason(std::string text)
{
    if (!prefixed())
        return text;
    for (size_t open = text.find('('); open != std::string::npos; open = text.find('(', open + 1)) {
        size_t close = text.find(')', open);
        if (close == std::string::npos)
            break;
        text.replace(open + 1, close - open - 1, "...");
    }
    return text;
}

void exec_words(std::vector<std::string> words)
{
    std::vector<char*> argv;
    for (auto& a : words)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool another_build()
{
    const char* folder = std::getenv("VOXA_TEST_PROGRAMS");
    return folder != nullptr && *folder != '\0';
}

bool prefixed()
{
    return !prefix_words().empty() && !emulated();
}

bool emulated()
{
    return !prefix_words().empty() && (build_platform() == "linux" || build_platform() == "posix");
}

temp_dir::temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "voxa-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

void temp_dir::write(const std::string& name, const std::string& bytes) const
{
    std::ofstream(path / name, std::ios::binary) << bytes;
}

std::string temp_dir::read(const std::string& name) const
{
    return slurp(path / name);
}

bool temp_dir::exists(const std::string& name) const
{
    return fs::exists(path / name);
}

run_result run_in(const temp_dir& dir, const std::string& program, const std::vector<std::string>& args,
                  const std::string& input, const std::function<void()>& hook, int seconds)
{
    temp_dir io;
    io.write("stdin", input);
    std::vector<std::string> words = command(program, args);

    std::string in_path = io.path / "stdin";
    std::string out_path = io.path / "stdout";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(dir.path.c_str()) != 0)
            _exit(127);
        if (hook)
            hook();
        exec_words(words);
    }
    run_result result;
    result.status = reap(pid, seconds, result.signal);
    result.out = folded(io.read("stdout"));
    for (const auto& entry : fs::directory_iterator(dir.path))
        if (entry.is_regular_file())
            result.files[entry.path().filename().string()] = slurp(entry.path());
    return result;
}

running::running(const temp_dir& dir, const std::string& program, const std::vector<std::string>& args,
                 const std::function<void()>& hook)
{
    std::vector<std::string> words = command(program, args);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) // no other child may hold them
        throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid == 0) {
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || chdir(dir.path.c_str()) != 0)
            _exit(127);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        if (hook)
            hook();
        exec_words(words);
    }
    close(in[0]);
    close(out[1]);
    to = in[1];
    from = out[0];
    fcntl(from, F_SETFL, fcntl(from, F_GETFL) | O_NONBLOCK);
}

running::~running()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int fd : {to, from})
        if (fd >= 0)
            close(fd);
}

bool running::wait_for(const std::string& text, int seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (text.empty() || seen.find(text) == std::string::npos) {
        char piece[4096];
        ssize_t n = read(from, piece, sizeof piece);
        if (n > 0) {
            seen = folded(seen + std::string(piece, static_cast<size_t>(n)));
            continue;
        }
        if (n == 0 || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void running::send(const std::string& text)
{
    if (write(to, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write to the program");
}

void running::signal(int number)
{
    kill(pid, number);
}

run_result running::finish(int seconds)
{
    close(to);
    to = -1;
    run_result result;
    wait_for("", seconds); // all it prints, to its end
    result.status = reap(pid, seconds, result.signal);
    pid = -1;
    result.out = seen;
    return result;
}

run_result run_with(const std::map<std::string, std::string>& files, const std::string& program,
                    const std::vector<std::string>& args, const std::string& input)
{
    temp_dir dir;
    for (const auto& [name, content] : files)
        dir.write(name, content);
    return run_in(dir, program, args, input);
}

small_file_system::small_file_system(const fs::path& at, size_t bytes) : where(at)
{
    fs::create_directory(where);
    mounted = mount("voxa-test", where.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
}

small_file_system::~small_file_system()
{
    if (mounted)
        umount(where.c_str());
}

loop_file_system::loop_file_system(const fs::path& image, const fs::path& at, std::vector<std::string> mkfs,
                                   size_t bytes)
    : where(at)
{
    fs::create_directory(where);
    if (geteuid() != 0) {
        why_not = "only root mounts a loop image";
        return;
    }
    const std::string tool = mkfs.front();
    if (access(tool.c_str(), X_OK) != 0) {
        why_not = tool + " is not installed";
        return;
    }
    std::ofstream(image, std::ios::binary).close();
    fs::resize_file(image, bytes); // sparse: it takes only what is written
    temp_dir here;
    mkfs.push_back(image.string());
    auto made = run_in(here, tool, std::vector<std::string>(mkfs.begin() + 1, mkfs.end()), "");
    if (made.status != 0) {
        why_not = tool + " failed: " + made.out;
        return;
    }
    // The loop device is set up to be freed by the unmount.
    auto mount_run = run_in(here, "/usr/bin/mount", {"-o", "loop", image.string(), where.string()}, "");
    mounted = mount_run.status == 0;
    if (!mounted)
        why_not = "mount -o loop failed: " + mount_run.out;
}

loop_file_system::loop_file_system(const fs::path& image, const fs::path& at, const std::string& options) : where(at)
{
    fs::create_directory(where);
    temp_dir here;
    auto mount_run = run_in(here, "/usr/bin/mount", {"-o", "loop," + options, image.string(), where.string()}, "");
    mounted = mount_run.status == 0;
    if (!mounted)
        why_not = "mount -o loop failed: " + mount_run.out;
}

loop_file_system::~loop_file_system()
{
    if (mounted && umount(where.c_str()) != 0)
        umount2(where.c_str(), MNT_DETACH);
}

tmux_terminal::~tmux_terminal()
{
    tmux("kill-server");
}

std::string tmux_terminal::tmux(const std::string& words) const
{
    std::string line = "tmux -f '" + (dir.path / "tmux.conf").string() + "' -S '" + (dir.path / "tmux").string() +
                       "' " + words + " 2>/dev/null";
    std::string out;
    if (FILE* p = popen(line.c_str(), "r")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, p)) > 0;)
            out.append(chunk, n);
        pclose(p);
    }
    return out;
}

// The server must not hold our pipe open.
void tmux_terminal::start(const std::string& program, const std::string& args) const
{
    dir.write("tmux.conf", "set -g default-shell /bin/sh\nset -g status off\nset -g remain-on-exit on\n");
    std::string run = "exec";
    for (const std::string& word : command(program, {}))
        run += " '" + word + "'";
    tmux("new-session -d -x 80 -y 24 -c '" + dir.path.string() + "' -e 'HOME=" + dir.path.string() +
         "' -e LANG=C.UTF-8 \"" + run + " " + args + "\" >/dev/null");
}

void tmux_terminal::type(const std::string& text) const
{
    tmux("send-keys -l '" + text + "'");
}

void tmux_terminal::press(const std::string& key) const
{
    tmux("send-keys " + key);
}

namespace {

bool within_a_minute(const std::function<bool()>& done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

bool tmux_terminal::shows(const std::string& lines)
{
    return within_a_minute([&] {
        screen = tmux("capture-pane -p");
        while (!screen.empty() && screen.back() == '\n')
            screen.pop_back();
        return ("\n" + screen).ends_with("\n" + lines);
    });
}

int tmux_terminal::status() const
{
    std::string dead;
    within_a_minute([&] { return (dead = tmux("display-message -p '#{pane_dead} #{pane_dead_status}'")).starts_with("1 "); });
    return dead.starts_with("1 ") ? std::atoi(dead.c_str() + 2) : -1;
}

bool have_tmux()
{
    return std::system("tmux -V >/dev/null 2>&1") == 0;
}

std::function<void()> file_size_limit(long bytes)
{
    // Wine's server, which a Windows program starts when none runs, would
    // inherit the limit and end on a write of its own: one runs first.
    if (build_platform() == "windows" && std::system("wineserver -p >/dev/null 2>&1") == -1)
        std::perror("wineserver");
    // The soft limit only, which is the one that stops writes: the coverage
    // build lifts it again once the program is done, to write its counters.
    return [bytes] {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(bytes);
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
    };
}

namespace {

// VOXA_TEST_PROGRAMS names another build's folder to test instead of this
// one's (another system's build, run through VOXA_TEST_PREFIX), whose
// programs may end in .exe.
std::string program(const char* name, const char* built)
{
    const char* folder = std::getenv("VOXA_TEST_PROGRAMS");
    if (folder == nullptr || *folder == '\0')
        return built;
    fs::path plain = fs::path(folder) / name;
    fs::path exe = plain;
    exe += ".exe";
    return fs::exists(exe) ? exe.string() : plain.string();
}

} // namespace

namespace {

// "platform: feature feature ...", written beside the programs by their build.
const std::string& build_line()
{
    static const std::string line = [] {
        std::ifstream in(fs::path(voxa_program()).parent_path() / "voxa-build.txt");
        std::string text;
        std::getline(in, text);
        return text;
    }();
    return line;
}

} // namespace

std::string build_platform()
{
    return build_line().substr(0, build_line().find(':'));
}

bool build_has(const std::string& feature)
{
    std::string features(1, ' ');
    features += build_line().substr(build_line().find(':') + 1);
    features += ' ';
    return features.find(" " + feature + " ") != std::string::npos;
}

const std::string& voxa_program()
{
    static const std::string path = program("voxa", VOXA_PROGRAM);
    return path;
}

const std::string& voxa_expert_program()
{
    static const std::string path = program("voxa_expert", VOXA_EXPERT_PROGRAM);
    return path;
}

const std::string& package_program()
{
    static const std::string path = program("package", PACKAGE_PROGRAM);
    return path;
}

std::string backing_up(const std::string& backup)
{
    return "Please Wait... Backing up current file to " + backup + ". \n";
}

std::string written(const std::string& file, const std::string& backup)
{
    return backing_up(backup) + "Please Wait... Writing new file " + file + ". \n";
}

std::string banner(const std::string& name, long loaded)
{
    return "Please Wait... Loading " + name + " into memory \n " + std::to_string(loaded) +
           " Bytes Loaded into memory. \n Note! Use '?' for command HELP. \n";
}

namespace {

template <typename F> std::string printed(F&& run)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    run(out);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

} // namespace

std::string interpret_line(editor_state& st, std::string_view line, int* code)
{
    int result = 0;
    std::string said = printed([&](FILE* out) { result = interpret(st, line, out); });
    if (code)
        *code = result;
    return said;
}

std::vector<std::pair<std::string, int>> calls_after(const std::string& trace, const std::string& after)
{
    std::ifstream in(trace);
    std::map<std::string, int> seen;
    std::vector<std::pair<std::string, int>> calls;
    bool counting = false;
    for (std::string line; std::getline(in, line);) {
        size_t paren = line.find('(');
        if (paren == std::string::npos || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0)
            continue;
        std::string name = line.substr(0, paren);
        if (line.rfind("close(1)", 0) == 0 || line.find(".gcda\"") != std::string::npos)
            break; // the program's work is over: what follows is the end of the process
        int ordinal = ++seen[name];
        bool memory = name == "mmap" || name == "munmap" || name == "mprotect" || name == "madvise" || name == "brk";
        if (counting && !memory && name != "exit_group")
            calls.emplace_back(name, ordinal);
        counting = counting || line.rfind(after, 0) == 0;
    }
    return calls;
}

void traced()
{
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
}
