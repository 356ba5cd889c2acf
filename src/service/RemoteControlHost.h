#pragma once

#include "core/RcmSettings.h"
#include "rcm/RcmCommandProcessor.h"

#include <cstdint>
#include <memory>
#include <string>

class CRCMWebWin;

// The run's remote-control server: "RcmConfig.xml" is read (the construction values stand when it
// cannot be), the server is made over the run's command executor and listens when HTTP or HTTPS
// control is on, and it is closed at the shutdown.
class CRemoteControlHost
{
public:
    CRemoteControlHost();
    ~CRemoteControlHost();
    CRemoteControlHost(const CRemoteControlHost &) = delete;
    CRemoteControlHost &operator=(const CRemoteControlHost &) = delete;

    // The result of the load: 0, or the document's code (the run goes on with the defaults).
    int32_t LoadSettings(const std::wstring &programFolder);
    // The listening result, or 1 when neither control is on. Commands reach the executor; without
    // one they are answered as failed. The serial text is the unit's in the server's identity.
    int32_t Start(const std::wstring &programFolder, RcmCommandExecutor executor, const std::string &serialText = {});
    void Close();
    const stRcmSettings &Settings() const { return m_settings; }

private:
    stRcmSettings m_settings;
    std::unique_ptr<CRCMWebWin> m_server;
};
