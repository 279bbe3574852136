// Raw mode's check before it writes over a device or image: the signatures
// that libblkid recognises (file systems, partition tables, RAID and LVM
// metadata, swap, encrypted volumes), each of which may belong to data in
// use elsewhere.
#include "signatures.hpp"

#include "extern.hpp"
#include "target.hpp"

#include <blkid/blkid.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The kind of data a signature marks, as blkid classes it.
const char *signature_kind(const char *usage)
{
    if (strcmp(usage, "filesystem") == 0)
        return "a file system";
    if (strcmp(usage, "raid") == 0)
        return "a RAID or volume-manager member";
    if (strcmp(usage, "crypto") == 0)
        return "an encrypted volume";
    return "data";
}

// Sectors: a file system or a partition may begin at any one of them, as
// they do in a disk whose partition table is lost.
constexpr uint64_t PROBE_STEP = 512;
// How far past each sector blkid looks: the signatures of nearly every kind
// of data it knows stand within the first megabyte of that data, and the
// probe of the whole target finds the others where they begin at its start.
constexpr uint64_t PROBE_WINDOW = MEGABYTE;

// What was found, and where, for the refusal.
struct finding {
    int result;        // blkid's verdict: 0 found, 1 nothing, -2 several signatures, -1 could not look
    uint64_t offset;   // the byte of the target at which what it found begins
    char what[512];    // what it found, when result is 0
    unsigned chances;  // signatures passed over as chance bytes
    char chance[256];  // the first of them, for the note
};

// Random bytes, as on a device wiped by shred, hold the two-byte magic of
// an ext2-4 or HFS+ superblock in about one sector of 20000, and whatever
// blkid reads beside it is random too. blkid gives the block size of a file
// system whose superblock states one that can be: a power of two of at least
// a sector, and always one for the ext family. A signature whose block size
// is another, or that of the ext family without one, is chance; the words
// say why, and nothing is written to them when the signature holds.
bool chance_signature(blkid_probe probe, char *why, size_t size)
{
    const char *type = nullptr;
    const char *block_size = nullptr;
    if (blkid_probe_lookup_value(probe, "TYPE", &type, nullptr) != 0)
        return false;
    if (blkid_probe_lookup_value(probe, "BLOCK_SIZE", &block_size, nullptr) != 0) {
        const char *ext_family[] = {"ext2", "ext3", "ext4", "ext4dev", "jbd"};
        bool ext = std::any_of(std::begin(ext_family), std::end(ext_family),
                               [type](const char *name) { return strcmp(type, name) == 0; });
        if (ext)
            snprintf(why, size, "%s with a block size no file system has", type);
        return ext;
    }
    unsigned long long bytes = strtoull(block_size, nullptr, 10);
    if (bytes >= PROBE_STEP && (bytes & (bytes - 1)) == 0)
        return false;
    snprintf(why, size, "%s with a block size of %s bytes", type, block_size);
    return true;
}

// Says what the signature that probe found marks.
void describe_signature(blkid_probe probe, char *found, size_t size)
{
    const char *type = "unknown";
    const char *usage = "";
    const char *uuid = nullptr;
    const char *kind = "a partition table";
    if (blkid_probe_lookup_value(probe, "PTTYPE", &type, nullptr) != 0) {
        blkid_probe_lookup_value(probe, "TYPE", &type, nullptr);
        blkid_probe_lookup_value(probe, "USAGE", &usage, nullptr);
        blkid_probe_lookup_value(probe, "UUID", &uuid, nullptr);
        kind = signature_kind(usage);
    }
    snprintf(found, size, "%s of type %s%s%s%s", kind, type, uuid != nullptr ? " (UUID " : "",
             uuid != nullptr ? uuid : "", uuid != nullptr ? ")" : "");
}

// blkid's verdict on the size bytes of fd from offset, 0 for all the rest.
int probe_area(blkid_probe probe, int fd, uint64_t offset, uint64_t size, finding *found)
{
    found->offset = offset;
    if (blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(size)) != 0)
        return -1;
    blkid_probe_enable_partitions(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE | BLKID_SUBLKS_UUID |
                                      BLKID_SUBLKS_MAGIC);
    int result = blkid_do_safeprobe(probe);
    char why[sizeof found->chance - 64];
    if (result == 0 && chance_signature(probe, why, sizeof why)) {
        if (found->chances++ == 0)
            snprintf(found->chance, sizeof found->chance, "%s, at byte %llu", why,
                     static_cast<unsigned long long>(offset));
        return 1;
    }
    if (result == 0)
        describe_signature(probe, found->what, sizeof found->what);
    return result;
}

// Where the signature that a probe from found->offset found begins. blkid
// also knows a signature by a copy of its header that stands further in (the
// second header of LUKS2, up to 512 KiB into a window): the signature begins
// at the last window, up to where its magic stands, that still finds it.
void find_signature_start(blkid_probe probe, int fd, uint64_t target_size, finding *found)
{
    const char *magic_offset = nullptr;
    if (blkid_probe_lookup_value(probe, "SBMAGIC_OFFSET", &magic_offset, nullptr) != 0)
        return;
    uint64_t magic = found->offset + strtoull(magic_offset, nullptr, 10);
    finding later = *found;
    uint64_t start = found->offset;
    for (uint64_t offset = start + PROBE_STEP; offset <= magic && offset < target_size; offset += PROBE_STEP)
        if (probe_area(probe, fd, offset, std::min(target_size - offset, PROBE_WINDOW), &later) == 0 &&
            strcmp(later.what, found->what) == 0)
            start = offset;
    found->offset = start;
}

// For the first size bytes of fd, how many sectors before each one hold
// anything but zeros; a sector that cannot be read counts as holding data.
std::vector<uint32_t> count_sectors_with_data(int fd, uint64_t size)
{
    std::vector<uint32_t> before(size / PROBE_STEP + 1, 0);
    std::vector<unsigned char> chunk(PROBE_WINDOW);
    static const unsigned char zeros[PROBE_STEP] = {};
    uint32_t counted = 0;
    for (uint64_t start = 0; start + PROBE_STEP <= size; start += PROBE_WINDOW) {
        ssize_t got = pread(fd, chunk.data(), std::min<uint64_t>(PROBE_WINDOW, size - start),
                            static_cast<off_t>(start));
        for (uint64_t at = 0; at < PROBE_WINDOW && start + at + PROBE_STEP <= size; at += PROBE_STEP) {
            bool zero = got >= 0 && at + PROBE_STEP <= static_cast<uint64_t>(got) &&
                        memcmp(chunk.data() + at, zeros, PROBE_STEP) == 0;
            counted += zero ? 0 : 1;
            before[(start + at) / PROBE_STEP + 1] = counted;
        }
    }
    return before;
}

// Probes the whole target once, for what stands anywhere in it (a partition
// table, RAID metadata at its end), then from every sector up to end, the
// last byte that raw mode writes, each time through the window after it.
// blkid's verdict depends only on the bytes it is shown, so windows of
// nothing but zeros, as on a new or wiped device, share one probe.
void probe_signatures(int fd, uint64_t end, uint64_t target_size, finding *found)
{
    found->result = -1;
    found->chances = 0;
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr)
        return;
    found->result = probe_area(probe, fd, 0, 0, found);
    std::vector<uint32_t> with_data = count_sectors_with_data(fd, std::min(target_size, end + PROBE_WINDOW));
    int zero_window_result = 0;
    for (uint64_t offset = PROBE_STEP; found->result == 1 && offset < end; offset += PROBE_STEP) {
        uint64_t size = std::min(target_size - offset, PROBE_WINDOW);
        uint64_t first = offset / PROBE_STEP;
        uint64_t last = (offset + size) / PROBE_STEP;
        bool zero = size == PROBE_WINDOW && last < with_data.size() && with_data[last] == with_data[first];
        if (zero && zero_window_result != 0) {
            found->result = zero_window_result;
            continue;
        }
        found->result = probe_area(probe, fd, offset, size, found);
        if (zero)
            zero_window_result = found->result;
    }
    if (found->result == 0 && found->offset > 0)
        find_signature_start(probe, fd, target_size, found);
    blkid_free_probe(probe);
}

// wipefs erases what blkid finds on the whole target, but leaves a partition
// table in a regular file alone unless forced; past the first byte it finds
// nothing, and the data itself must go, as raw mode would write it.
[[noreturn]] void refuse_overwrite(const finding &found, const char *what, bool image)
{
    char text[FILE_NAME_SIZE * 2 + 512];
    if (found.offset == 0)
        snprintf(text, sizeof text, "holds %s; raw mode would overwrite it. If its data can go, erase its "
                 "signatures first: wipefs -a%s %s", what, image ? "f" : "", file_name);
    else
        snprintf(text, sizeof text, "holds %s at byte %llu; raw mode would overwrite it. If its data can go, "
                 "erase it first: dd if=/dev/zero of=%s bs=1M count=%llu conv=notrunc", what,
                 static_cast<unsigned long long>(found.offset), file_name,
                 static_cast<unsigned long long>(raw_span / MEGABYTE));
    refuse_with_name(text);
}

} // namespace

// Raw mode writes from the first byte, so a device or image that holds a
// file system, a partition table, RAID or LVM metadata or swap anywhere in
// the span the series writes is refused: it may be in use elsewhere (a LUN
// mounted by another host is not busy here). blkid knows the signatures that
// mkfs, wipefs and blkid know. The write descriptor cannot be read, so a
// second one, checked to be the same file, is probed, once, before the
// series' first test: later tests find there only what the series wrote.
// The probe reads the span through the page cache, and leaves it as it was.
void refuse_recognised_data()
{
    static bool probed;
    if (probed)
        return;
    probed = true;
    int fd = open_target(O_RDONLY, 0);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        refuse_target(strerror(errno));
    if (!is_target(status))
        refuse_target("the target was replaced while it was opened");
    off_t target_size = lseek(fd, 0, SEEK_END);
    uint64_t size = target_size > 0 ? static_cast<uint64_t>(target_size) : 0;
    static finding found;
    probe_signatures(fd, size < raw_span ? size : raw_span, size, &found);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    bool image = S_ISREG(status.st_mode);
    if (found.result == 0)
        refuse_overwrite(found, found.what, image);
    if (found.result == -2)
        refuse_overwrite(found, "more than one signature", image);
    if (found.result < 0)
        refuse_target("its signatures could not be probed");
    if (found.chances > 0)
        fprintf(stderr, "dorvik: %s: passed over %u signature%s that %s chance bytes, not data (%s%s)\n",
                file_name, found.chances, found.chances == 1 ? "" : "s", found.chances == 1 ? "is" : "are",
                found.chances == 1 ? "" : "the first: ", found.chance);
}
