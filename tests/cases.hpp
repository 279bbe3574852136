// What the three files of cases share: the fixture every case runs in, and
// the texts that cases of the program and of the tools both expect.
#ifndef DORVIK_TESTS_CASES_HPP
#define DORVIK_TESTS_CASES_HPP

#include "driver.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Every case is a row of a table run by this one test.
class Arguments : public testing::TestWithParam<Case> {};

// Names a row after its case.
inline std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }

// The name of the test file when none is given.
inline const std::string default_name = "#quarrow_NFS+SAN#.temp.bak";

// One full interactive run: the report, the Average statistics and the advice.
inline std::string full_test(const std::string &megabytes, const std::string &records,
                             const std::string &record_length, const std::string &name)
{
    return banner + interactive_test(megabytes, records, record_length, name) + average_statistics +
           too_quick_advice;
}

// What help prints.
inline std::string help_text()
{
    return banner + usage + "dorvik: help mode\n"
           "    'Quarrow' - Universal IO/NFS/SAN Benchmark Program\n"
           "    Adapted by Ivo Quarrow <ivo.quarrow@example.org> for ASM/SAN/NFS needs :-) \n"
           "    http://www.example.org/quarrow/  http://mirror.example.net/pub/quarrow/\n"
           "    $Id: dorvik.c,v 2.13 2008/02/28 17:42:05 iquarrow Exp $\n"
           "------------------------------------------------------------------\n"
           "    Modified/enhanced for NFS performance tuning....\n"
           "      + enhanced statistics\n"
           "      + auto-mode: blocksize for NFS monitoring (HFS/VxFS)\n"
           "      + uses fsync() to bypass disk cache\n"
           "      + designed to bypass the cache of Examplar StoreFrame 900 arrays\n"
           "      + fixed all errors DJGPP 2.7.2/DOS32, 2.9.5/cygwin claims\n"
           "      + fixed all errors DJGPP 2.7/Linux 2.0.32 claims\n"
           "      + fixed division by zero errors\n"
           "------------------------------------------------------------------\n"
           "    Modified for SAN (StoreFrame, VaultLine, DiskMesa) relative performance checking\n"
           "      + enhanced blocksize and buffersize\n"
           "      + works with gcc 3.2, 3.3\n"
           "      + fixed default filename (*NIX)\n"
           "------------------------------------------------------------------\n"
           "Bye!\n";
}

// The tests' own sshd on loopback, and an sshfs mount through it.
inline const std::string sshfs = "bash \"$TESTS\"/sshfs_loopback.sh ";
inline const std::string has_sshfs = "command -v sshfs && test -x /usr/sbin/sshd && test -c /dev/fuse";

#endif
