// Error codes of the update core.
//
// Every operation of the core returns an int: 0 for success, otherwise one of
// these codes. They travel unchanged up to the status file ("failed: %d"), so
// the values are part of the program's external interface and never change.
// The first failure ends an operation; no later failure replaces it.
#pragma once

constexpr int ERR_MEMORY = 1;  // a heap allocation failed
// 2 and 3 are not assigned.
constexpr int ERR_CRC = 4;     // a file to patch does not have the CRC-32 its patch expects
constexpr int ERR_PARSE = 5;   // a manifest line or a strings-file line is malformed
constexpr int ERR_READ = 6;    // a file or the archive can't be opened, queried or read; an item is missing
constexpr int ERR_WRITE = 7;   // a file can't be created, written or removed; a directory can't be made
constexpr int ERR_DATA = 8;    // data not as expected: size mismatch, early end, bad header, bad encoding
constexpr int ERR_SIGNATURE = 9;  // the archive is not signed by the publisher's key
