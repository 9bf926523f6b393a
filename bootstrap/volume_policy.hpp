// Which volumes can hold the run's private working folder. Portable: no
// Windows headers.
#pragma once

#include <string>

namespace bootstrap {

// What the system says of the volume that holds the working folder.
struct volume_facts {
    bool known = false;            // whether the system answered at all
    bool persistent_acls = false;  // it keeps access lists on its files
    bool remote = false;           // a network redirector's volume
    std::string file_system;       // "NTFS", "FAT32", "exFAT", ... (UTF-8)
};

// Why the working folder cannot be private there, as the end of the sentence
// "The temporary directory is on ..."; empty when it can. Its access list is
// what keeps the user's unelevated processes out of the folder during an
// elevated run: a volume that keeps none (FAT32, exFAT) drops it without a
// word, and on a network share the server, not this machine, decides what
// the folder holds and what the loader maps. A volume the system says
// nothing about is taken as the first kind.
std::string unprotected_volume_reason(const volume_facts& facts);

}  // namespace bootstrap
