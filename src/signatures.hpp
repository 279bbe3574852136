// Raw mode's check that its target holds no data that another system may
// be using: the signatures that libblkid recognises.
#ifndef DORVIK_SIGNATURES_HPP
#define DORVIK_SIGNATURES_HPP

// Refuses the target, a block device or a regular file, if libblkid finds a
// file system, a partition table, RAID or LVM metadata, swap or an encrypted
// volume on it; returns when it finds nothing.
void refuse_recognised_data();

#endif
