#include "platform/VideoDeviceNode.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class CNodeHandle
{
public:
    explicit CNodeHandle(const std::string &path) : m_fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~CNodeHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CNodeHandle(const CNodeHandle &) = delete;
    CNodeHandle &operator=(const CNodeHandle &) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

int32_t QueryVideoDeviceNode(const std::string &path, std::string &card)
{
    card.clear();
    CNodeHandle node(path);
    if (node.Fd() < 0)
        return -errno;
    v4l2_capability capability{};
    if (::ioctl(node.Fd(), VIDIOC_QUERYCAP, &capability) < 0)
        return -errno;
    const char *text = reinterpret_cast<const char *>(capability.card);
    card.assign(text, strnlen(text, sizeof(capability.card)));
    // A node of a multi-node device tells its own capabilities apart from the device's.
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    return (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) ? 1 : 0;
}
