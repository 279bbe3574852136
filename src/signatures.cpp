// Raw mode's check before it writes over a device or image: the signatures
// that libblkid recognises (file systems, partition tables, RAID and LVM
// metadata, swap, encrypted volumes), each of which may belong to data in
// use elsewhere.
#include "signatures.hpp"

#include "dorvik.hpp"
#include "target.hpp"

#include <blkid/blkid.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// wipefs leaves a partition table in a regular file alone unless forced.
[[noreturn]] void refuse_overwrite(const char *found, bool image)
{
    char what[FILE_NAME_SIZE + 512];
    snprintf(what, sizeof what, "holds %s; raw mode would overwrite it. If its data can go, erase its "
             "signatures first: wipefs -a%s %s", found, image ? "f" : "", file_name);
    refuse_with_name(what);
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

// blkid's verdict on fd: 0 with found described, 1 for nothing found, -2
// for several signatures, -1 when it could not look.
int probe_signatures(int fd, char *found, size_t size)
{
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr)
        return -1;
    int result = -1;
    if (blkid_probe_set_device(probe, fd, 0, 0) == 0) {
        blkid_probe_enable_partitions(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE | BLKID_SUBLKS_UUID);
        result = blkid_do_safeprobe(probe);
    }
    if (result == 0)
        describe_signature(probe, found, size);
    blkid_free_probe(probe);
    return result;
}

} // namespace

// Raw mode writes from the first byte, so a device or image that holds a
// file system, a partition table, RAID or LVM metadata or swap is refused:
// it may be in use elsewhere (a LUN mounted by another host is not busy
// here). blkid knows the signatures that mkfs, wipefs and blkid know. The
// write descriptor cannot be read, so a second one, checked to be the same
// file, is probed.
void refuse_recognised_data()
{
    int fd = open_target(O_RDONLY, 0);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        refuse_target(strerror(errno));
    if (!is_target(status))
        refuse_target("the target was replaced while it was opened");
    char found[512];
    int result = probe_signatures(fd, found, sizeof found);
    close(fd);
    bool image = S_ISREG(status.st_mode);
    if (result == 0)
        refuse_overwrite(found, image);
    if (result == -2)
        refuse_overwrite("more than one signature", image);
    if (result < 0)
        refuse_target("its signatures could not be probed");
}
