#include "temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vigilorb::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vigilorb-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests remove permissions to provoke failures; give them back so removal succeeds.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (int pass = 0; pass < 2; ++pass) {
        for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (!it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

void writeText(const fs::path& file, std::string_view text) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace vigilorb::test

#include <sys/resource.h>

#include <csignal>

namespace vigilorb::test {

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{};
    ::getrlimit(RLIMIT_FSIZE, &rl);
    previousSoft_ = rl.rlim_cur;
    rl.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &rl);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit rl{};
    ::getrlimit(RLIMIT_FSIZE, &rl);
    rl.rlim_cur = previousSoft_;
    ::setrlimit(RLIMIT_FSIZE, &rl);
    std::signal(SIGXFSZ, previousHandler_);
}

}  // namespace vigilorb::test
