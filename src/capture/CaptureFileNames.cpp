// Numbered output files in the current directory, brslt000 to brslt999 of each kind, and
// the snapshot command that saves the current frame under such a name.
#include "capture/CaptureFileNames.h"

#include <QLoggingCategory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/CaptureDlg.h"

Q_LOGGING_CATEGORY(lcFileNames, "brisolt.filenames")

namespace {

constexpr int kNumberedNames = 1000;

// The current directory as the system reports it, whatever its length; empty when it has
// none (it was removed, or is not reachable any more).
std::string CurrentDirectory() {
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    return cwd ? std::string(cwd.get()) : std::string();
}

// A name is taken when its file can be opened for reading. A name that exists in any other
// way (unreadable, a dangling link) counts as taken too: the capture window creates its files
// exclusively, so handing such a name out would only make the run or snapshot fail.
// Asked by its leaf in the current directory, a name is found at any depth of it.
bool NameTaken(const char* leaf) {
    const int fd = ::openat(AT_FDCWD, leaf, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    struct stat st {};
    return ::fstatat(AT_FDCWD, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string NextNumberedName(const char* extension, NoFileName* why) {
    NoFileName unused;
    why = why != nullptr ? why : &unused;
    *why = NoFileName::None;
    const std::string directory = CurrentDirectory();
    if (directory.empty()) {
        qCWarning(lcFileNames, "no current directory: no file name for a %s file", extension);
        *why = NoFileName::NoDirectory;
        return {};
    }
    for (int n = 0; n < kNumberedNames; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d%s", n, extension);
        if (!NameTaken(leaf))
            return directory + "/" + leaf;
    }
    qCWarning(lcFileNames, "all %d numbered %s names in %s are taken", kNumberedNames,
              extension, directory.c_str());
    *why = NoFileName::AllTaken;
    return {};
}

}  // namespace

std::string NextCaptureFileName(NoFileName* why) {
    return NextNumberedName(".avi", why);
}

std::string NextSnapshotFileName() {
    return NextNumberedName(".bmp", nullptr);
}

bool NumberedFileExists(const std::string& path) {
    // The names are made in the current directory; asked there by their leaf, they are
    // found whatever the directory's path is now or how long it is.
    const auto slash = path.rfind('/');
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat st {};
    return !leaf.empty() && ::fstatat(AT_FDCWD, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void CCaptureDlg::NameCaptureFile() {
    captureFileName = NextCaptureFileName(&noFileName_);
}

void CCaptureDlg::OnSnapshot() {
    SetWindowText(QStringLiteral("Save bitmap."));
    const std::string path = NextSnapshotFileName();
    capsend::Send(captureWindow, [&path](CaptureWindow& w) { return w.FileSaveDib(path.c_str()); });
}
