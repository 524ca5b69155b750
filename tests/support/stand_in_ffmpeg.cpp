// A stand-in for ffmpeg and ffprobe that tests put in a resources folder (as
// links named "ffmpeg" and "ffprobe"). It behaves by the files beside it:
//   ffprobe: probe_out (text printed, default "video\naudio\n"), probe_rc (exit
//            code), probe_hang (never ends), probe_hold (waits for probe_release)
//   ffmpeg:  frames (frames written to descriptor 3, size from the -vf scale),
//            audio_bytes (bytes written to 4), stderr (bytes written to 2),
//            hold (after writing, wait for "release"), exit_code
// Both append their pid and arguments to calls_<name> and list their open
// descriptors into fds_<pid>.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string dir;

bool exists(const std::string& name) {
    return access((dir + "/" + name).c_str(), F_OK) == 0;
}

std::string contents(const std::string& name, const std::string& fallback = "") {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    if (!in) return fallback;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long number(const std::string& name, long fallback) {
    std::string text = contents(name);
    return text.empty() ? fallback : std::strtol(text.c_str(), nullptr, 10);
}

void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void waitForFile(const std::string& name) {
    while (!exists(name)) usleep(5000);
}

void record(const std::string& name, int argc, char** argv) {
    std::string fds;
    if (DIR* d = opendir("/proc/self/fd")) {
        int own = dirfd(d);
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
            fds += std::string(e->d_name) + "\n";
        }
        closedir(d);
    }
    std::ofstream(dir + "/fds_" + std::to_string(getpid())) << fds;
    std::ofstream calls(dir + "/calls_" + name, std::ios::app);
    calls << getpid();
    for (int i = 1; i < argc; ++i) calls << ' ' << argv[i];
    calls << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    auto slash = self.rfind('/');
    dir = slash == std::string::npos ? "." : self.substr(0, slash);
    std::string name = self.substr(slash + 1);
    record(name, argc, argv);

    if (name == "ffprobe") {
        if (exists("probe_hang")) {
            for (;;) pause();
        }
        if (exists("probe_hold")) waitForFile("probe_release");
        std::string out = contents("probe_out", "video\naudio\n");
        writeAll(1, out.data(), out.size());
        return static_cast<int>(number("probe_rc", 0));
    }

    int width = 0, height = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "-vf") std::sscanf(argv[i + 1], "scale=%d:%d", &width, &height);
    }
    std::string err = contents("stderr");
    writeAll(2, err.data(), err.size());
    long frames = number("frames", 0);
    std::vector<char> frame(static_cast<size_t>(width) * static_cast<size_t>(height) * 3 / 2);
    // Planar 4:2:0, as asked for: luma f, then the U plane at 0x40 + f and
    // the V plane at 0xC0 + f.
    const std::size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (long f = 0; f < frames; ++f) {
        std::fill(frame.begin(), frame.begin() + static_cast<long>(luma), static_cast<char>(f));
        std::fill(frame.begin() + static_cast<long>(luma),
                  frame.begin() + static_cast<long>(luma + luma / 4), static_cast<char>(0x40 + f));
        std::fill(frame.begin() + static_cast<long>(luma + luma / 4), frame.end(),
                  static_cast<char>(0xC0 + f));
        writeAll(3, frame.data(), frame.size());
    }
    long audio = number("audio_bytes", 0);
    std::vector<char> samples(static_cast<size_t>(audio), 0);
    writeAll(4, samples.data(), samples.size());
    if (exists("hold")) waitForFile("release");
    return static_cast<int>(number("exit_code", 0));
}
