#include "service/RemoteControlHost.h"

#include "config/RcmConfigXml.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "rcm/TYXCtrl_Web.h"

CRemoteControlHost::CRemoteControlHost() = default;

CRemoteControlHost::~CRemoteControlHost()
{
    Close();
}

int32_t CRemoteControlHost::LoadSettings(const std::wstring &programFolder)
{
    const int32_t result = LoadRcmConfigs(programFolder + L"RcmConfig.xml", m_settings);
    if (result < 0)
        TYX_LOG(3, L"RcmConfig.xml cannot be loaded (error=%d): remote control runs with its defaults.", result);
    // The program-wide port is what discovery announces and what a port change is compared with:
    // 0 while the plain channel is off or the file could not be read.
    CTYXGVMS::RcmTcpListenPort() = m_settings.TcpListenPort;
    return result;
}

int32_t CRemoteControlHost::Start(const std::wstring &programFolder, RcmCommandExecutor executor,
                                  const std::string &serialText)
{
    if (!m_settings.HttpCtrl && !m_settings.HttpsCtrl)
        return 1;
    if (!m_server)
        m_server = std::make_unique<CRCMWebWin>(std::move(executor));
    m_server->SetRcmServerIdentity("Caldrix", "", serialText, "");
    m_server->SetUsers(m_settings.Users);
    m_server->SetSessionExpiryMs(static_cast<uint32_t>(RcmSessionExpiryMs(m_settings)));
    m_server->SetNotificationExpirySeconds(static_cast<uint32_t>(RcmNotificationExpirySeconds(m_settings)));
    m_server->SetSendAckBeforeCmdFinish(m_settings.SendAckBeforeCmdFinish != 0);
    if (m_settings.HttpsCtrl) {
        auto beside = [&programFolder](const std::wstring &file) {
            return file.empty() || file[0] == L'/' ? file : programFolder + file;
        };
        m_server->SetHttpsCredentials(beside(m_settings.HttpsCertFile), beside(m_settings.HttpsKeyFile));
    }
    const int32_t result = m_server->ListenRequests(m_settings.HttpCtrl != 0, m_settings.HttpsCtrl != 0,
                                                    m_settings.HttpListenPort, m_settings.HttpsListenPort);
    if (result < 0)
        TYX_LOG(3, L"[RCM]The remote-control server does not listen (error=%d); the run goes on without it.", result);
    return result;
}

void CRemoteControlHost::Close()
{
    if (!m_server)
        return;
    m_server->Close();
    m_server.reset();
}
