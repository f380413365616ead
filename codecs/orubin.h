// ORUBIN documents: values to bytes and back (the layout is in
// orubin_format.h).
//
// The decoder appends one value per record to a target block, in one of two
// modes. Codec mode reads documents from outside: every fault of a document
// is a language error (script/invalid-data for a header that is not
// ORUBIN's, script/ob-invalid-record with the 1-based byte position for a
// record, access/no-codec for a type no document may hold, internal/too-deep
// past max_depth nested records), and nothing in a document is trusted: no
// count, index, binding or reference makes a value that the runtime's own
// makers could not. Boot mode loads the boot image into the root block:
// words bind to contexts by root-record number, define records set words,
// and a header fault ends the process. The decoder keeps no buffer address
// across an allocation; its input must lie in memory that does not move
// (not a series buffer the collector may slide).
//
// The encoders write one value (with everything it holds) as a compact or a
// fixed document, version 2, writing a series, an object's or a function's
// context once and referring to it afterwards, so that decoding keeps the
// sharing. The boot-document writer writes the records of a boot image.
#pragma once

#include "runtime/cell.h"

#include <cstddef>
#include <vector>

namespace oru::orubin {

// Set while a codec-mode decode or an encode runs.
extern bool codec_q;

// Decodes every record of the `length` bytes at `bytes`, appending to the
// block `target` (its buffer from the tail). With `raise` (codec mode) a
// header fault raises script/invalid-data with `source`; without it (boot
// mode) it prints "Error: Not a Orubin file!" or "Error: Orubin compressed
// data corrupted!" and ends the process with status 1, or, with
// exit_on_header_fault off, raises as codec mode does. Values decoded before
// a fault stay in the target.
void decode(const u8* bytes, size_t length, const Cell& target, bool raise, const Cell& source,
            bool exit_on_header_fault = true);

// Loads a boot image into the root block with collection held off (the
// collector's setting is put back after), in boot mode. Unless keep_base,
// the literal base becomes the root-block index of the image's first record.
void boot_load(const u8* image, size_t length, bool keep_base);

// The root-block index of the boot image's record 0 (-1 before a load).
i32 literal_base();

// The compact and the fixed document of a value, as a new binary! pushed on
// the data stack; the pushed cell. Values of routine!, triple!, handle!,
// port!, event! (and an op! of a routine!), and of map! and image! until
// their datatypes exist, raise access/no-codec with the value; nesting past
// max_depth raises internal/too-deep.
Cell* encode_cp(const Cell& value);
Cell* encode(const Cell& value);

// The writer of boot images: a compact document of many records, version 1,
// flags 5 (compact, symbol table). Words bound to the global context are
// written plain; a word bound to the context of an earlier top-level record
// refers to that record by number; series are written in full each time
// (a boot image holds no references). The values given must stay reachable
// until they are written; nothing allocates in between.
class BootWriter {
public:
    BootWriter();
    ~BootWriter();
    // One top-level record of the value.
    void record(const Cell& value);
    // A define record: the word (global, or bound to an earlier record's
    // context) is set to the value at load, and neither takes a place.
    void define(const Cell& word, const Cell& value);
    // The document so far.
    std::vector<u8> document() const;
    // Top-level records written (defines not counted).
    i32 records() const { return records_; }

private:
    struct State;
    State* state_;
    i32 records_ = 0;
};

}  // namespace oru::orubin
