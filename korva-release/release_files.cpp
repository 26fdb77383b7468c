#include "release_files.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

static std::string Reason()
{
    return std::strerror(errno);
}

bool CreateNewFile(const std::string& path, mode_t mode, ScopedClose& file, std::string& errorText)
{
    file.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file) {
        errorText = errno == EEXIST ? path + " already exists; it is never overwritten."
                                    : "Could not create " + path + ": " + Reason() + ".";
        return false;
    }
    return true;
}

static bool WriteFully(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Calls consume for each block of the file's bytes.
template <typename Consumer> static bool ReadBlocks(const std::string& path, Consumer consume, std::string& errorText)
{
    const ScopedClose file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info = {};
    if (!file || fstat(file.get(), &info) != 0) {
        errorText = "Could not open " + path + ": " + Reason() + ".";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errorText = path + " is not a regular file.";
        return false;
    }
    char block[65536];
    for (;;) {
        const ssize_t got = read(file.get(), block, sizeof(block));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            errorText = "Could not read " + path + ": " + Reason() + ".";
            return false;
        }
        if (got == 0) {
            return true;
        }
        consume(block, static_cast<size_t>(got));
    }
}

bool IsSameFile(const std::string& a, const std::string& b)
{
    struct stat first = {};
    struct stat second = {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& errorText)
{
    std::string content;
    if (!ReadBlocks(
            path, [&content](const char* data, size_t size) { content.append(data, size); }, errorText)) {
        return false;
    }
    bytes.swap(content);
    return true;
}

std::string HexOf(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

bool Sha256FileHex(const std::string& path, std::string& digest, std::string& errorText)
{
    const ScopedEvpMdCtxFree context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        errorText = "OpenSSL could not start a SHA-256 digest.";
        return false;
    }
    bool updated = true;
    const auto consume = [&](const char* data, size_t size) {
        updated = updated && EVP_DigestUpdate(context.get(), data, size) == 1;
    };
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ReadBlocks(path, consume, errorText)) {
        return false;
    }
    if (!updated || EVP_DigestFinal_ex(context.get(), value, &length) != 1 || length != 32) {
        errorText = "OpenSSL could not compute the SHA-256 of " + path + ".";
        return false;
    }
    digest = HexOf(value, length);
    return true;
}

static std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

static bool WriteAndRename(int fd, const std::string& temporary, const std::string& path, const std::string& bytes,
                           std::string& errorText)
{
    // mkstemp makes 0600; a manifest is public, so the usual umask applies.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0 || !WriteFully(fd, bytes.data(), bytes.size()) || fsync(fd) != 0) {
        errorText = "Could not write " + temporary + ": " + Reason() + ".";
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        errorText = "Could not replace " + path + ": " + Reason() + ".";
        return false;
    }
    // The rename itself reaches the disk with the folder; failing that only
    // weakens crash safety, the new manifest is in place either way.
    const ScopedClose folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) {
        fsync(folder.get());
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& errorText)
{
    std::string temporary = path + ".tmp-XXXXXX";
    const ScopedClose file(mkstemp(&temporary[0]));
    if (!file) {
        errorText = "Could not create a temporary file beside " + path + ": " + Reason() + ".";
        return false;
    }
    if (!WriteAndRename(file.get(), temporary, path, bytes, errorText)) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
