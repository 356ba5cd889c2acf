#include "NamespaceChild.h"

#include "platform/NetlinkSocket.h"
#include "platform/NetworkAdapters.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int SKIP_EXIT = 77;

bool WriteProcFile(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// 0, or the errno that kept the namespaces from being made.
int EnterNamespaces()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    int flags = CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS;
    if (uid != 0)
        flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0)
        return errno;
    if (uid != 0) {
        WriteProcFile("/proc/self/setgroups", "deny");
        if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return EPERM;
    }
    // Nothing mounted here may ever reach the host's mount table.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errno;
    return 0;
}

void WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

int SetLinkUp(CNetlinkSocket &socket, const std::string &name)
{
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_flags = IFF_UP;
    info.ifi_change = IFF_UP;
    CNetlinkRequest request(RTM_NEWLINK, 0, &info, sizeof(info));
    request.AttributeText(IFLA_IFNAME, name.c_str());
    return socket.Change(request);
}

// The carrier of a new veth pair comes up a moment after the links: wait for the kernel to say so.
int WaitLinksRunning(const std::string &first, const std::string &second)
{
    stAdapterScope scope;
    scope.acceptVirtual = true;
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::vector<stNetworkInterface> list;
        ListPhysicalInterfaces(list, scope);
        int running = 0;
        for (const stNetworkInterface &row : list)
            running += row.name == first || row.name == second ? 1 : 0;
        if (running == 2)
            return 0;
        usleep(10000);
    }
    return -ETIMEDOUT;
}

} // namespace

void CChildChecks::Expect(bool condition, const std::string &what)
{
    if (!condition)
        m_failures += what + "\n";
}

int CreateVethPair(const std::string &first, const std::string &second)
{
    CNetlinkSocket socket;
    if (const int opened = socket.Open(); opened != 0)
        return opened;
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    CNetlinkRequest request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, &info, sizeof(info));
    request.AttributeText(IFLA_IFNAME, first.c_str());
    const size_t linkInfo = request.BeginNested(IFLA_LINKINFO);
    request.AttributeText(IFLA_INFO_KIND, "veth");
    const size_t data = request.BeginNested(IFLA_INFO_DATA);
    const size_t peer = request.BeginNested(VETH_INFO_PEER);
    request.Append(&info, sizeof(info));
    request.AttributeText(IFLA_IFNAME, second.c_str());
    request.EndNested(peer);
    request.EndNested(data);
    request.EndNested(linkInfo);
    if (const int made = socket.Change(request); made != 0)
        return made;
    if (const int up = SetLinkUp(socket, first); up != 0)
        return up;
    if (const int up = SetLinkUp(socket, second); up != 0)
        return up;
    return WaitLinksRunning(first, second);
}

stNamespaceResult RunInNamespaces(const std::function<void(CChildChecks &)> &body)
{
    stNamespaceResult result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.failures = "no pipe";
        return result;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        if (const int error = EnterNamespaces(); error != 0) {
            WriteAll(pipeFds[1], std::string("namespaces not allowed: ") + std::strerror(error));
            _exit(SKIP_EXIT);
        }
        CChildChecks checks;
        body(checks);
        WriteAll(pipeFds[1], checks.Failures());
        _exit(checks.Failures().empty() ? 0 : 1);
    }
    close(pipeFds[1]);
    if (child < 0) {
        close(pipeFds[0]);
        result.failures = "no child";
        return result;
    }
    const std::string text = ReadAll(pipeFds[0]);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == SKIP_EXIT) {
        result.skipped = true;
        result.reason = text;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        result.failures = text.empty() ? "child ended abnormally" : text;
    }
    return result;
}
