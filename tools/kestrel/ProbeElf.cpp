#include "ProbeElf.h"

#include "Api.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>

namespace kestrel_cli {

namespace {

// A C++ name as the author wrote it, the mangled one otherwise.
std::string Readable(const char* szName)
{
    int nStatus = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(szName, nullptr, nullptr, &nStatus),
                                                     std::free);
    return nStatus == 0 && demangled ? demangled.get() : szName;
}

// Symbols the linker defines in every shared object.
bool LinkerDefined(const std::string& strName)
{
    static const std::set<std::string> names = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    return names.count(strName) > 0;
}

struct ElfFile {
    int hFile = -1;
    Elf* pElf = nullptr;
    ~ElfFile()
    {
        if (pElf != nullptr)
            elf_end(pElf);
        if (hFile >= 0)
            close(hFile);
    }
};

}  // namespace

bool InspectDriverFile(const std::string& strPath, ElfReport& report, std::string& strError)
{
    if (elf_version(EV_CURRENT) == EV_NONE) {
        strError = elf_errmsg(-1);
        return false;
    }
    ElfFile file;
    file.hFile = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.hFile < 0 || (file.pElf = elf_begin(file.hFile, ELF_C_READ, nullptr)) == nullptr ||
        elf_kind(file.pElf) != ELF_K_ELF) {
        strError = "not an ELF file";
        return false;
    }
    const std::set<std::string> api(AllExportNames().begin(), AllExportNames().end());
    Elf_Scn* pDynsym = nullptr;
    std::vector<Elf_Scn*> relocations;
    bool bSymbolic = false;  // DT_SYMBOLIC or DF_SYMBOLIC: own definitions first
    for (Elf_Scn* pScn = elf_nextscn(file.pElf, nullptr); pScn != nullptr; pScn = elf_nextscn(file.pElf, pScn)) {
        GElf_Shdr header;
        if (gelf_getshdr(pScn, &header) == nullptr)
            continue;
        if (header.sh_type == SHT_DYNSYM)
            pDynsym = pScn;
        else if (header.sh_type == SHT_RELA || header.sh_type == SHT_REL)
            relocations.push_back(pScn);
        else if (header.sh_type == SHT_DYNAMIC) {
            Elf_Data* pData = elf_getdata(pScn, nullptr);
            for (size_t i = 0; pData != nullptr && header.sh_entsize > 0 && i < header.sh_size / header.sh_entsize;
                 ++i) {
                GElf_Dyn entry;
                if (gelf_getdyn(pData, static_cast<int>(i), &entry) == nullptr)
                    break;
                bSymbolic |=
                    entry.d_tag == DT_SYMBOLIC || (entry.d_tag == DT_FLAGS && (entry.d_un.d_val & DF_SYMBOLIC));
            }
        }
    }
    if (pDynsym == nullptr) {
        strError = "no dynamic symbol table";
        return false;
    }
    GElf_Shdr symHeader;
    gelf_getshdr(pDynsym, &symHeader);
    Elf_Data* pSymbols = elf_getdata(pDynsym, nullptr);
    const size_t nSymbols = symHeader.sh_entsize > 0 ? symHeader.sh_size / symHeader.sh_entsize : 0;
    std::vector<bool> defined(nSymbols, false);
    for (size_t i = 1; pSymbols != nullptr && i < nSymbols; ++i) {
        GElf_Sym symbol;
        if (gelf_getsym(pSymbols, static_cast<int>(i), &symbol) == nullptr)
            break;
        const char* szName = elf_strptr(file.pElf, symHeader.sh_link, symbol.st_name);
        const unsigned nBind = GELF_ST_BIND(symbol.st_info);
        if (szName == nullptr || symbol.st_shndx == SHN_UNDEF || GELF_ST_VISIBILITY(symbol.st_other) != STV_DEFAULT)
            continue;
        defined[i] = nBind != STB_LOCAL;
        if (nBind == STB_GNU_UNIQUE)
            report.uniqueSymbols.push_back(Readable(szName));
        const std::string strName = szName;
        if (defined[i] && api.count(strName) == 0 && !LinkerDefined(strName) &&
            GELF_ST_TYPE(symbol.st_info) != STT_SECTION)
            report.strayExports.push_back(Readable(szName));
    }
    // A relocation against the driver's own exported symbol is a use of it
    // that another library loaded first would take over.
    std::set<std::string> seen;
    for (Elf_Scn* pScn : relocations) {
        GElf_Shdr header;
        Elf_Data* pData = elf_getdata(pScn, nullptr);
        if (bSymbolic || gelf_getshdr(pScn, &header) == nullptr || pData == nullptr || header.sh_entsize == 0 ||
            elf_getscn(file.pElf, header.sh_link) != pDynsym)
            continue;
        for (size_t i = 0; i < header.sh_size / header.sh_entsize; ++i) {
            size_t nSymbol = 0;
            GElf_Rela rela;
            GElf_Rel rel;
            if (header.sh_type == SHT_RELA && gelf_getrela(pData, static_cast<int>(i), &rela) != nullptr)
                nSymbol = GELF_R_SYM(rela.r_info);
            else if (header.sh_type == SHT_REL && gelf_getrel(pData, static_cast<int>(i), &rel) != nullptr)
                nSymbol = GELF_R_SYM(rel.r_info);
            GElf_Sym symbol;
            if (nSymbol == 0 || nSymbol >= nSymbols || !defined[nSymbol] ||
                gelf_getsym(pSymbols, static_cast<int>(nSymbol), &symbol) == nullptr)
                continue;
            const char* szName = elf_strptr(file.pElf, symHeader.sh_link, symbol.st_name);
            if (szName != nullptr && seen.insert(szName).second)
                report.interposable.push_back(Readable(szName));
        }
    }
    return true;
}

}  // namespace kestrel_cli
