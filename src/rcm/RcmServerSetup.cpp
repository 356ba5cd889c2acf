#include "rcm/RcmServerSetup.h"

#include "config/RcmConfigXml.h"
#include "core/debuglog.h"

#include <filesystem>

namespace {

std::wstring BesideProgram(const std::wstring &file, const std::wstring &programFolder)
{
    const std::filesystem::path path(file);
    if (file.empty() || path.is_absolute() || programFolder.empty())
        return file;
    return (std::filesystem::path(programFolder) / path).wstring();
}

} // namespace

std::unique_ptr<CRCMWebWin> StartRcmServer(const stRcmSettings &settings, const std::wstring &programFolder,
                                           RcmCommandExecutor executor, const std::string &model,
                                           const std::string &serial)
{
    if (!settings.HttpCtrl && !settings.HttpsCtrl)
        return nullptr;
    auto server = std::make_unique<CRCMWebWin>(std::move(executor));
    server->SetRcmServerIdentity("Caldrix", model, serial, "");
    server->SetUsers(settings.Users);
    server->SetSessionExpiryMs(static_cast<uint32_t>(RcmSessionExpiryMs(settings)));
    server->SetNotificationExpirySeconds(static_cast<uint32_t>(RcmNotificationExpirySeconds(settings)));
    server->SetSendAckBeforeCmdFinish(settings.SendAckBeforeCmdFinish != 0);
    server->SetConnectionLimits(RcmConnectionLimit(settings), RcmRequestTimeoutSeconds(settings));
    if (settings.HttpsCtrl) {
        if (settings.HttpsCertFile.empty() || settings.HttpsKeyFile.empty())
            TYX_LOG(3, L"[RCM]Https control is on but HttpsCertFile or HttpsKeyFile is not configured.");
        else
            server->SetHttpsCredentials(BesideProgram(settings.HttpsCertFile, programFolder),
                                        BesideProgram(settings.HttpsKeyFile, programFolder));
    }
    const int32_t result = server->ListenRequests(settings.HttpCtrl != 0, settings.HttpsCtrl != 0,
                                                  settings.HttpListenPort, settings.HttpsListenPort);
    if (result != 0)
        TYX_LOG(3, L"[RCM]Remote control listening gave %d.", result);
    return server;
}
