// verbs: the control verbs of `lattice-sim ctl`, with their usage and help
// texts. The CLI prints help from this table without a server; the server
// executes the verbs (state.cpp).
#pragma once

#include <string>
#include <vector>

namespace lattice_sim {

struct VerbInfo {
    const char* pchName;
    const char* pchUsage;  // arguments after the verb
    const char* pchHelp;   // one paragraph
};

const std::vector<VerbInfo>& Verbs();
const VerbInfo* FindVerb(const std::string& strName);

std::string MainHelp();
std::string ServeHelp();
std::string CtlHelp();
std::string VerbHelp(const VerbInfo& verb);

}  // namespace lattice_sim
