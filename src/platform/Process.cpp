#include "platform/Process.h"

namespace NmProcess {

std::string CmProcess::BuildCommandLine(const std::string& strExecutable, const std::vector<std::string>& vecArguments)
{
    // Nothing inside an argument is escaped; the text is only for logs, the
    // child gets the arguments as separate argv entries.
    std::string strCommandLine = "\"" + strExecutable + "\"";
    for (const std::string& strArgument : vecArguments)
        strCommandLine += " \"" + strArgument + "\"";
    return strCommandLine;
}

}  // namespace NmProcess
