#include "config/RcmConfigXml.h"

#include "config/ConfigLoaderUtils.h"
#include "config/ConfigXmlDocument.h"
#include "core/debuglog.h"

#include <vector>

namespace {

constexpr const wchar_t *kGeneralPath = L"/config/RcmGeneral";
constexpr int32_t kDefaultTcpPort = 1225;

bool ReadBool(CConfigXmlDocument &document, const wchar_t *key)
{
    stConfigValue value;
    return ReadNodeValue(document, kGeneralPath, key, CFG_VALUE_BOOL, value) && value.boolean != 0;
}

int32_t ReadInt(CConfigXmlDocument &document, const wchar_t *key, int32_t missing)
{
    stConfigValue value;
    return ReadNodeValue(document, kGeneralPath, key, CFG_VALUE_INT32, value) ? value.integer : missing;
}

std::wstring ReadText(CConfigXmlDocument &document, const wchar_t *key)
{
    stConfigValue value;
    return ReadNodeValue(document, kGeneralPath, key, 20, value) ? value.text : std::wstring();
}

void ReadGeneral(CConfigXmlDocument &document, stRcmSettings &settings)
{
    settings.TcpCtrl = ReadBool(document, L"TcpCtrl");
    // Read only with the channel on; a channel that is off has no port, whatever the key says.
    settings.TcpListenPort = settings.TcpCtrl ? RcmTcpListenPortInRange(ReadInt(document, L"TcpListenPort", 0)) : 0;
    settings.HttpCtrl = ReadBool(document, L"HttpCtrl");
    settings.HttpListenPort = settings.HttpCtrl ? ReadInt(document, L"HttpListenPort", 0) : 0;
    settings.HttpsCtrl = ReadBool(document, L"HttpsCtrl");
    settings.HttpsListenPort = settings.HttpsCtrl ? ReadInt(document, L"HttpsListenPort", 0) : 0;
    settings.SessionExpiredTime = ReadInt(document, L"SessionExpiredTime", 0);
    settings.NoficationExpiredTime = settings.HttpsCtrl ? ReadInt(document, L"NoficationExpiredTime", 0) : 0;
    settings.SendAckBeforeCmdFinish = ReadBool(document, L"SendAckBeforeCmdFinish");
    settings.HttpMaxConnections = ReadInt(document, L"HttpMaxConnections", 0);
    settings.HttpRequestTimeout = ReadInt(document, L"HttpRequestTimeout", 0);
    settings.HttpsCertFile = settings.HttpsCtrl ? ReadText(document, L"HttpsCertFile") : std::wstring();
    settings.HttpsKeyFile = settings.HttpsCtrl ? ReadText(document, L"HttpsKeyFile") : std::wstring();
}

void ReadUsers(CConfigXmlDocument &document, RcmUserMap &users)
{
    users.clear();
    const ConfigKeySchema schema = {{L"username", 20}, {L"password", 20}, {L"Privilege", 2}, {L"comments", 20}};
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.SkipEmptyItems = 1;
    std::vector<ConfigValueMap> items;
    document.ReadElementList(L"/config/RcmUsers", items, &schema, flags);
    for (const ConfigValueMap &item : items) {
        stRcmUser user;
        if (!TakeText(item, L"username", user.username))
            continue;
        TakeInt(item, L"id", user.id);
        TakeText(item, L"password", user.password);
        TakeInt(item, L"Privilege", user.Privilege);
        TakeText(item, L"comments", user.comments);
        const std::wstring name = user.username;
        if (!users.emplace(name, std::move(user)).second)
            TYX_LOG(3, L"[RcmConfig]Duplicated user name(%s) found and the later one was ignored!.", name.c_str());
    }
}

int32_t LimitedSeconds(int32_t seconds)
{
    return (seconds >= 60 && seconds <= 7200) ? seconds : 600;
}

} // namespace

int32_t LoadRcmConfigs(const std::wstring &path, stRcmSettings &settings)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    ReadGeneral(document, settings);
    ReadUsers(document, settings.Users);
    return 0;
}

int32_t RcmSessionExpiryMs(const stRcmSettings &settings)
{
    const int64_t ms = static_cast<int64_t>(settings.SessionExpiredTime) * 1000;
    return (ms >= 60000 && ms <= 7200000) ? static_cast<int32_t>(ms) : 600000;
}

int32_t RcmNotificationExpirySeconds(const stRcmSettings &settings)
{
    return LimitedSeconds(settings.NoficationExpiredTime);
}

uint32_t RcmConnectionLimit(const stRcmSettings &settings)
{
    const int32_t limit = settings.HttpMaxConnections;
    return (limit >= 64 && limit <= 65536) ? static_cast<uint32_t>(limit) : RCM_DEFAULT_MAX_CONNECTIONS;
}

uint32_t RcmRequestTimeoutSeconds(const stRcmSettings &settings)
{
    const int32_t seconds = settings.HttpRequestTimeout;
    return (seconds >= 1 && seconds <= 60) ? static_cast<uint32_t>(seconds) : RCM_DEFAULT_REQUEST_TIMEOUT;
}

int32_t RcmTcpListenPortInRange(int32_t port)
{
    return (port >= 1025 && port <= 32767) ? port : kDefaultTcpPort;
}
