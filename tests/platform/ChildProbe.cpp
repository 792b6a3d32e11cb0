// A child program for the process tests. Modes:
//   report <file> [args...]  write what the child sees (argv, descriptors,
//                            session, stdin) to <file> and exit
//   wait-fifo <fifo>         read the named pipe until end of file, then exit
//   pause                    wait until killed
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<int> OpenDescriptors()
{
    std::vector<int> vecFds;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
        return vecFds;
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.')
            continue;
        const int nFd = std::atoi(pEntry->d_name);
        if (nFd != dirfd(pDir))
            vecFds.push_back(nFd);
    }
    closedir(pDir);
    return vecFds;
}

bool StdinIsDevNull()
{
    struct stat stStdin = {};
    struct stat stNull = {};
    return fstat(0, &stStdin) == 0 && stat("/dev/null", &stNull) == 0 && S_ISCHR(stStdin.st_mode) &&
           stStdin.st_rdev == stNull.st_rdev;
}

int Report(int argc, char** argv)
{
    // Gathered before the report file adds a descriptor of its own.
    std::string strReport = "fds:";
    for (const int nFd : OpenDescriptors())
        strReport += " " + std::to_string(nFd);
    strReport += "\npid: " + std::to_string(getpid()) + "\nsid: " + std::to_string(getsid(0)) +
                 "\nstdin-devnull: " + (StdinIsDevNull() ? "1" : "0") + "\n";
    for (int i = 0; i < argc; ++i)
        strReport += std::string("arg:") + argv[i] + "\n";

    FILE* pFile = std::fopen(argv[2], "w");
    if (pFile == nullptr)
        return 2;
    std::fwrite(strReport.data(), 1, strReport.size(), pFile);
    return std::fclose(pFile) == 0 ? 0 : 2;
}

int WaitFifo(const char* szFifo)
{
    const int hFifo = open(szFifo, O_RDONLY);
    if (hFifo < 0)
        return 2;
    char acBuffer[64];
    while (read(hFifo, acBuffer, sizeof acBuffer) > 0) {
    }
    close(hFifo);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "report") == 0)
        return Report(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "wait-fifo") == 0)
        return WaitFifo(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "pause") == 0) {
        for (;;)
            pause();
    }
    return 64;
}
