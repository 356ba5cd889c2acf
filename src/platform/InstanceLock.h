#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

// The single-instance lock of one program id: an exclusive flock on "<name>.lock" in the runtime
// folder, holding the owner's process id. The descriptor is close-on-exec, so children never keep
// the lock; the kernel frees it when the owner dies.
class CInstanceLock
{
public:
    CInstanceLock() = default;
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock &) = delete;
    CInstanceLock &operator=(const CInstanceLock &) = delete;

    // Acquire's result for a lock file that belongs to another user (or is no plain file).
    static constexpr int32_t LOCK_FOREIGN_OWNER = -EPERM;

    // 0 when taken; -EWOULDBLOCK when another process holds it; LOCK_FOREIGN_OWNER; -ELOOP for a
    // symbolic link in the file's place; another negative errno when the file cannot be made.
    int32_t Acquire(const std::string &name);
    void Release();
    bool Held() const { return m_fd >= 0; }
    const std::string &Path() const { return m_path; }

    // The lock file of a name in the runtime folder.
    static std::string LockFilePath(const std::string &name);
    // The process id that holds the lock of the name, or 0 when none does.
    static int32_t HolderOf(const std::string &name);

private:
    int m_fd = -1;
    std::string m_path;
};
