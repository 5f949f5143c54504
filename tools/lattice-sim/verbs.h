// verbs: the control verbs of `lattice-sim ctl`. One table holds each verb's
// name, usage, help and handler; the CLI prints help from it without a
// server, and the server runs the handlers (CSimState::RunVerb).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lattice_sim {

class CSimState;

// What a verb prints and its exit status: 0 done, 1 failed, 2 bad arguments.
struct CtlResult {
    int nExit = 0;
    std::string strOut, strErr;
};

struct VerbInfo {
    const char* pchName;
    const char* pchUsage;  // arguments after the verb
    const char* pchHelp;   // one paragraph
    CtlResult (CSimState::*pfnRun)(const std::vector<std::string>& args);
    bool bNoArguments = false;  // refused with a usage error when given any
};

const std::vector<VerbInfo>& Verbs();
const VerbInfo* FindVerb(const std::string& strName);

// How long `ctl` waits for the answer to argv: the common reply deadline,
// and for `wait` its own timeout on top.
uint32_t CtlReplyTimeoutMs(const std::vector<std::string>& argv);
// Connects and greets as `ctl` within k_unConnectTimeoutMs, refusing a
// simulator of another user; -1 with the reason.
int ConnectToSimulator(const std::string& strPath, std::string* pstrError);

std::string MainHelp();
std::string ServeHelp();
std::string CtlHelp();
std::string VerbHelp(const VerbInfo& verb);

}  // namespace lattice_sim
