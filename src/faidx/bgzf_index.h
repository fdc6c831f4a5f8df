// The two indexes of a BGZF-compressed FASTA file: the .fai, whose offsets
// count uncompressed bytes, and the .gzi beside the file (filename + ".gzi"),
// which places the blocks. Both are what samtools faidx writes for the same
// file, byte for byte, and either may come from it.
#pragma once

#include <string>

#include "errors/error.h"
#include "faidx/bgzf.h"
#include "faidx/bgzf_file.h"
#include "faidx/index.h"

namespace gelvo {

// Acquires both indexes under the rules of acquire_index, each decided on
// its own: a missing or (with rebuild) older index is built when
// build_index allows, else loaded. Building the .fai reads the whole file
// once, inflating it on the worker pool, and yields the block list too; a
// .gzi built alone reads only the member headers. Each index is written
// atomically. Gives the file its block index and returns the names.
// IndexNotFoundError names whichever index is missing and may not be built
// (the .fai first).
Result<NameIndex> acquire_bgzf_indexes(BgzfFile& file, const std::string& fai_path, bool rebuild, bool build_index);

// Reads the .gzi at gzi_path for file and completes its last unit from the
// file's tail. IndexNotFoundError when it cannot be opened; an IOError
// naming the offset when it does not fit the file.
Result<bgzf::BlockIndex> load_gzi(const std::string& gzi_path, const BgzfFile& file);

// Writes the .gzi bytes of index to gzi_path atomically.
Status write_gzi(const std::string& gzi_path, const bgzf::BlockIndex& index);

}  // namespace gelvo
