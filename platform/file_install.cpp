#include "platform/file_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace vsc {
namespace {

std::string failure(const std::string& what, const std::string& path, int error) {
    return "Cannot " + what + " " + path + ": " + std::strerror(error);
}

}  // namespace

std::optional<std::string> installCopy(const std::string& source, const std::string& folder,
                                       const std::string& name, unsigned mode) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return "Cannot create " + folder + ": " + ec.message();

    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return failure("read", source, errno);
    std::string target = folder + "/" + name;
    std::vector<char> pattern(target.begin(), target.end());
    for (char c : std::string(".new-XXXXXX")) pattern.push_back(c);
    pattern.push_back('\0');
    int out = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (out < 0) {
        int error = errno;
        ::close(in);
        return failure("write into", folder, error);
    }
    std::string temporary(pattern.data());
    auto abandon = [&](const std::string& message) {
        ::close(in);
        ::close(out);
        ::unlink(temporary.c_str());
        return std::optional<std::string>(message);
    };
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return abandon(failure("read", source, errno));
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, chunk + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return abandon(failure("write", target, errno));
            done += w;
        }
    }
    if (::fchmod(out, mode) != 0 || ::fsync(out) != 0)
        return abandon(failure("write", target, errno));
    ::close(in);
    if (::close(out) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failure("write", target, error);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failure("replace", target, error);
    }
    return std::nullopt;
}

}  // namespace vsc
