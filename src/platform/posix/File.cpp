#include "platform/File.h"
#include "platform/FileShared.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

namespace zn {

namespace {

std::atomic<unsigned> g_tempCounter{0};

class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int Get() const { return m_fd; }
    // Hands the descriptor over; it is no longer closed here.
    void Release() { m_fd = -1; }
    // Closes now; a delayed write error of some file systems shows only here.
    bool Close() {
        int fd = m_fd;
        m_fd = -1;
        return close(fd) == 0;
    }

  private:
    int m_fd;
};

bool ReadAll(int fd, std::string *content) {
    char chunk[8192];
    for (;;) {
        if (TakeFileFault(FileFault::Read))
            return false;
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        content->append(chunk, static_cast<size_t>(got));
    }
}

bool WriteAll(int fd, const std::string &content) {
    size_t done = 0;
    while (done < content.size()) {
        if (TakeFileFault(FileFault::Write))
            return false;
        ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// The file a save replaces: through a symbolic link to the file it names, so
// the link stays a link, as it would for a plain rewrite.
std::string ResolveTarget(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        return resolved;
    return path;
}

// The directory (with its separator) and the name of a save's target.
void SplitTarget(const std::string &target, std::string *directory, std::string *base) {
    const size_t slash = target.rfind('/');
    *directory = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
    *base = slash == std::string::npos ? target : target.substr(slash + 1);
}

// Temporaries are named <prefix><process id>-<counter>.
std::string TempPrefix(const std::string &base) {
    return "." + base + ".tmp-";
}

// Only where the directory refuses the temporary, and not atomic: it writes
// from the first byte that changes, then cuts the old tail. A crash inside
// the write leaves the new bytes up to some point and the old ones after it,
// so the line there may mix both; one before the cut leaves the old tail
// after the whole new text.
bool RewriteInPlace(const std::string &target, const std::string &text) {
    Descriptor file(open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (file.Get() < 0 || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string old;
    if (!ReadAll(file.Get(), &old))
        return false;
    const size_t first = FirstChangedByte(old, text);
    if (lseek(file.Get(), static_cast<off_t>(first), SEEK_SET) < 0 ||
        !WriteAll(file.Get(), text.substr(first)))
        return false;
    if (TakeFileFault(FileFault::Sync) || fsync(file.Get()) != 0)
        return false;
    if (ftruncate(file.Get(), static_cast<off_t>(text.size())) != 0)
        return false;
    return file.Close();
}

}  // namespace

void RemoveFile(const std::string &path) {
    unlink(path.c_str());
}

bool ReadTextLines(const std::string &path, std::vector<std::string> *lines) {
    try {
        // Non-blocking, and regular files only: a FIFO or a device in the
        // file's place would otherwise block or never end, with the profile
        // file lock held.
        Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (file.Get() < 0)
            return false;
        struct stat st;
        if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        std::string content;
        if (!ReadAll(file.Get(), &content))
            return false;
        *lines = LinesOfText(content);
        return true;
    } catch (...) {
        return false;
    }
}

bool SaveTextLines(const std::string &path, const std::vector<std::string> &lines) {
    try {
        const std::string target = ResolveTarget(path);
        struct stat old;
        bool exists = stat(target.c_str(), &old) == 0;
        if (!exists && errno != ENOENT)
            return false;
        if (exists) {
            // A plain rewrite would fail on these; root's access check ignores
            // the mode bits, so the owner-write bit is tested on its own.
            if (!S_ISREG(old.st_mode) || (old.st_mode & S_IWUSR) == 0 ||
                faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
                return false;
            }
        }

        std::string directory, base;
        SplitTarget(target, &directory, &base);

        // Created like the file itself would be, so the process's umask and a
        // directory's default permissions apply to a new file.
        std::string tempPath;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            tempPath = directory + TempPrefix(base) + std::to_string(getpid()) + "-" +
                       std::to_string(g_tempCounter.fetch_add(1));
            if (TakeFileFault(FileFault::Create)) {
                errno = ENOSPC;
            } else {
                fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            }
            if (fd < 0 && errno != EEXIST) {
                // A directory that refuses new names, or a temporary's name
                // too long, still lets its writable files be rewritten, as a
                // plain rewrite would; a full disk leaves the file as it is.
                if (exists && (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG))
                    return RewriteInPlace(target, TextOfLines(lines));
                return false;
            }
        }
        if (fd < 0)
            return false;
        Descriptor file(fd);
        TempFile temp(std::move(tempPath));
        // Held until the descriptor closes after the rename: the mark of a
        // live writer, whose temporary no other save removes. Where the file
        // system has no locks, no save can take the mark either, so nothing
        // is removed there.
        (void)flock(fd, LOCK_EX | LOCK_NB);

        if (exists) {
            // Ownership first: changing it may clear set-id bits that the mode
            // then restores. A user who may not give the file away keeps it.
            if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
                fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
                return false;
            }
            if (fchmod(fd, old.st_mode & 07777) != 0)
                return false;
        }

        if (!WriteAll(fd, TextOfLines(lines)))
            return false;
        if (TakeFileFault(FileFault::Sync) || fsync(fd) != 0)
            return false;
        if (!file.Close())
            return false;
        if (TakeFileFault(FileFault::Rename) || rename(temp.Path().c_str(), target.c_str()) != 0) {
            return false;
        }
        temp.Commit();
        // The directory is not flushed: that would double the cost of every
        // status mark on a real disk, and the rename is atomic without it.
        return true;
    } catch (...) {
        return false;
    }
}

void RemoveStaleSaveFiles(const std::string &path) {
    try {
        std::string directory, base;
        SplitTarget(ResolveTarget(path), &directory, &base);
        const std::string prefix = TempPrefix(base);
        std::vector<std::string> names;
        {
            std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(directory.c_str()), closedir);
            if (!listing)
                return;
            while (const dirent *entry = readdir(listing.get())) {
                if (IsSaveTempName(entry->d_name, prefix))
                    names.push_back(entry->d_name);
            }
        }
        for (const std::string &name : names) {
            const std::string temp = directory + name;
            Descriptor file(open(temp.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (file.Get() >= 0 && fstat(file.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
                flock(file.Get(), LOCK_EX | LOCK_NB) == 0) {
                RemoveFile(temp);
            }
        }
    } catch (...) {
        // Litter stays for a later save.
    }
}

struct FileUpdateLock::State {
    int fd = -1;
};

FileUpdateLock::FileUpdateLock(const std::string &path, Mode mode, unsigned waitMs)
    : m_state(std::make_unique<State>()) {
    using Clock = std::chrono::steady_clock;
    std::string directory, base;
    SplitTarget(ResolveTarget(path), &directory, &base);
    // The directory, not the file: every save replaces the file, and the
    // first one creates it.
    Descriptor dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0)
        return;
    const int operation = (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::chrono::milliseconds pause(1);
    // Polled rather than blocking, so that a peer stuck with the lock costs
    // waitMs and no more.
    for (;;) {
        if (flock(dir.Get(), operation) == 0) {
            m_state->fd = dir.Get();
            dir.Release();
            return;
        }
        const Clock::time_point now = Clock::now();
        if ((errno != EWOULDBLOCK && errno != EINTR) || now >= deadline)
            return;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(8));
    }
}

FileUpdateLock::~FileUpdateLock() {
    if (m_state->fd >= 0)
        close(m_state->fd);
}

bool FileUpdateLock::Held() const {
    return m_state->fd >= 0;
}

}  // namespace zn
