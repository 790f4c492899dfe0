#include "common/Version.h"

#include <link.h>

#include <cstdint>
#include <cstring>

#include "common/Format.h"

#ifndef DELTANHNT_VERSION
#define DELTANHNT_VERSION "unknown"
#endif

namespace tools
{

namespace
{

struct Search {
    std::uintptr_t address;
    std::string build_id;
    bool found = false;
};

// The NT_GNU_BUILD_ID note among the notes of one PT_NOTE segment.
std::string BuildIdNote(const unsigned char* notes, std::size_t size)
{
    constexpr std::uint32_t kBuildId = 3; // NT_GNU_BUILD_ID
    const auto align = [](std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); };
    std::size_t at = 0;
    while (at + sizeof(ElfW(Nhdr)) <= size) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + at, sizeof header);
        const std::size_t name = at + sizeof header;
        const std::size_t desc = name + align(header.n_namesz);
        const std::size_t next = desc + align(header.n_descsz);
        if (next > size) {
            break;
        }
        if (header.n_type == kBuildId && header.n_namesz == 4 &&
            std::memcmp(notes + name, "GNU", 4) == 0) {
            return Hex(notes + desc, header.n_descsz);
        }
        at = next;
    }
    return "";
}

int Visit(dl_phdr_info* info, std::size_t /*size*/, void* data)
{
    Search& search = *static_cast<Search*>(data);
    bool holds = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search.address >= start &&
            search.address < start + segment.p_memsz) {
            holds = true;
        }
    }
    if (!holds) {
        return 0;
    }
    search.found = true;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum && search.build_id.empty(); ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_NOTE) {
            search.build_id = BuildIdNote(
                reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr),
                segment.p_memsz);
        }
    }
    return 1;
}

} // namespace

const char* ProjectVersion()
{
    return DELTANHNT_VERSION;
}

std::string BuildIdAt(const void* address)
{
    Search search{reinterpret_cast<std::uintptr_t>(address), ""};
    dl_iterate_phdr(Visit, &search);
    return search.build_id;
}

} // namespace tools
