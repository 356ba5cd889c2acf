#pragma once

#include "core/RcmSettings.h"
#include "rcm/TYXCtrl_Web.h"

#include <memory>
#include <string>

// The start-up steps of the remote-control server from the loaded "RcmConfig.xml": none when
// neither HTTP nor HTTPS control is on; otherwise the server with the identity, the users, the
// lifetimes, the acknowledgement mode and the HTTPS certificate and key (relative paths are taken
// beside the program), listening. A failure to listen is logged; the server is returned anyway.
std::unique_ptr<CRCMWebWin> StartRcmServer(const stRcmSettings &settings, const std::wstring &programFolder,
                                           RcmCommandExecutor executor, const std::string &model,
                                           const std::string &serial);
