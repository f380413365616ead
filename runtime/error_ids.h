// The error catalog: categories and ids in their fixed order.
//
// An error's code is its category's code (100 x category position) plus the
// id's position within the category, so inserting an id shifts every code
// after it. ORDER ERRORS: one list gives the ids, their codes, spellings and
// messages; the catalog object (datatypes/error.cpp) is built from it in the
// same order, and error_catalog.h checks the codes against the positions.
#pragma once

#include "runtime/cell.h"

namespace oru {

// X(category, code, spelling, display type)
#define ORU_ERROR_CATEGORIES(X) \
    X(throw_, 0, "throw", "Throw Error") \
    X(note, 100, "note", "note") \
    X(syntax, 200, "syntax", "Syntax Error") \
    X(script, 300, "script", "Script Error") \
    X(math, 400, "math", "Math Error") \
    X(access, 500, "access", "Access Error") \
    X(reserved1, 600, "reserved1", "Reserved1 Error") \
    X(reserved2, 700, "reserved2", "Reserved2 Error") \
    X(user, 800, "user", "User Error") \
    X(internal, 900, "internal", "Internal Error")

// X(category, id, code, spelling, message...)
//
// The message follows the spelling, part by part: a string part is written as
// it is; get1, get2, get3 stand for the get-words :arg1 :arg2 :arg3 and
// word1, word2 for the plain words arg1 arg2 (error_catalog.h defines them).
// A message of one string part is a string, the lone word1 of user/message is
// a word, and any other message is a block of its parts.
#define ORU_ERRORS(X) \
    X(throw, break, 0, "break", "no loop to break") \
    X(throw, return, 1, "return", "return or exit not in function") \
    X(throw, throw, 2, "throw", "no catch for throw:", get1) \
    X(throw, continue, 3, "continue", "no loop to continue") \
    X(throw, while_cond, 4, "while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block") \
    X(note, no_load, 100, "no-load", "cannot load: ", get1) \
    X(syntax, invalid, 200, "invalid", get1, "invalid", get2, "at", get3) \
    X(syntax, missing, 201, "missing", get1, "missing", get2, "at", get3) \
    X(syntax, no_header, 202, "no-header", "script is missing a Oru header:", get1) \
    X(syntax, no_rs_header, 203, "no-rs-header", "script is missing a Oru/System header:", get1) \
    X(syntax, bad_header, 204, "bad-header", "script header is not valid:", get1) \
    X(syntax, malconstruct, 205, "malconstruct", get1, "invalid construction spec at", get2) \
    X(syntax, bad_char, 206, "bad-char", get1, "invalid character at", get2) \
    X(script, no_value, 300, "no-value", get1, "has no value") \
    X(script, need_value, 301, "need-value", get1, "needs a value") \
    X(script, not_defined, 302, "not-defined", get1, "word is not bound to a context") \
    X(script, not_in_context, 303, "not-in-context", "context for", get1, "is not available") \
    X(script, no_arg, 304, "no-arg", get1, "is missing its", get2, "argument") \
    X(script, expect_arg, 305, "expect-arg", get1, "does not allow", get2, "for its", get3, "argument") \
    X(script, expect_val, 306, "expect-val", "expected", get1, "not", get2) \
    X(script, expect_type, 307, "expect-type", get1, get2, "field must be of type", get3) \
    X(script, cannot_use, 308, "cannot-use", "cannot use", get1, "on", get2, "value") \
    X(script, invalid_arg, 309, "invalid-arg", "invalid argument:", get1) \
    X(script, invalid_type, 310, "invalid-type", get1, "type is not allowed here") \
    X(script, invalid_type_spec, 311, "invalid-type-spec", "invalid type specifier:", get1) \
    X(script, invalid_key_type, 312, "invalid-key-type", "invalid key type:", get1) \
    X(script, invalid_op, 313, "invalid-op", "invalid operator:", get1) \
    X(script, no_op_arg, 314, "no-op-arg", get1, "operator is missing an argument") \
    X(script, bad_op_spec, 315, "bad-op-spec", \
      "making an op! requires a function with only 2 arguments and no lit/get-word on left argument") \
    X(script, invalid_data, 316, "invalid-data", "data not in correct format:", get1) \
    X(script, invalid_part, 317, "invalid-part", "invalid /part count:", get1) \
    X(script, not_same_type, 318, "not-same-type", "values must be of the same type") \
    X(script, not_same_class, 319, "not-same-class", "cannot coerce", get1, "to", get2) \
    X(script, not_related, 320, "not-related", "incompatible argument for", get1, "of", get2) \
    X(script, bad_func_def, 321, "bad-func-def", "invalid function definition:", get1) \
    X(script, bad_func_arg, 322, "bad-func-arg", "function argument", get1, "is not valid") \
    X(script, bad_func_extern, 323, "bad-func-extern", "invalid /extern value:", get1) \
    X(script, no_refine, 324, "no-refine", get1, "has no refinement called", get2) \
    X(script, bad_refines, 325, "bad-refines", "incompatible or invalid refinements") \
    X(script, bad_refine, 326, "bad-refine", "invalid refinement value:", get1) \
    X(script, dup_refine, 327, "dup-refine", "duplicate refinement usage in:", get1) \
    X(script, word_first, 328, "word-first", "path must start with a word:", get1) \
    X(script, empty_path, 329, "empty-path", "cannot evaluate an empty path value") \
    X(script, unset_path, 330, "unset-path", get2, "is unset in path", get1) \
    X(script, invalid_path, 331, "invalid-path", "cannot access", get2, "in path", get1) \
    X(script, invalid_path_set, 332, "invalid-path-set", "unsupported type in", get1, "set-path") \
    X(script, invalid_path_get, 333, "invalid-path-get", "unsupported type in", get1, "get-path") \
    X(script, bad_path_type, 334, "bad-path-type", \
      get3, "returned a", get2, "value, so", get1, "could not be accessed") \
    X(script, bad_path_type2, 335, "bad-path-type2", "path element >", get1, "< does not apply to", get2, "type") \
    X(script, bad_path_set, 336, "bad-path-set", "cannot set", get2, "in path", get1) \
    X(script, bad_field_set, 337, "bad-field-set", "cannot set", get1, "field to", get2, "datatype") \
    X(script, dup_vars, 338, "dup-vars", "duplicate variable specified:", get1) \
    X(script, past_end, 339, "past-end", "out of range or past end") \
    X(script, missing_arg, 340, "missing-arg", "missing a required argument or refinement") \
    X(script, out_of_range, 341, "out-of-range", "value out of range:", get1) \
    X(script, invalid_chars, 342, "invalid-chars", "contains invalid characters") \
    X(script, invalid_compare, 343, "invalid-compare", "cannot compare", get1, "with", get2) \
    X(script, wrong_type, 344, "wrong-type", "datatype assertion failed for:", get1) \
    X(script, invalid_refine_arg, 345, "invalid-refine-arg", "invalid", get1, "argument:", get2) \
    X(script, type_limit, 346, "type-limit", get1, "overflow/underflow") \
    X(script, size_limit, 347, "size-limit", "maximum limit reached:", get1) \
    X(script, no_return, 348, "no-return", "block did not return a value") \
    X(script, throw_usage, 349, "throw-usage", "invalid use of a thrown error value") \
    X(script, locked_word, 350, "locked-word", "protected word - cannot modify:", get1) \
    X(script, protected, 351, "protected", "protected value or series - cannot modify") \
    X(script, bad_bad, 352, "bad-bad", get1, "error:", get2) \
    X(script, bad_make_arg, 353, "bad-make-arg", "cannot MAKE", get1, "from:", get2) \
    X(script, bad_to_arg, 354, "bad-to-arg", "cannot MAKE/TO", get1, "from:", get2) \
    X(script, invalid_months, 355, "invalid-months", "invalid system/locale/month list") \
    X(script, invalid_spec_field, 356, "invalid-spec-field", "invalid", get1, "field in spec block") \
    X(script, missing_spec_field, 357, "missing-spec-field", get1, "not found in spec block") \
    X(script, move_bad, 358, "move-bad", "Cannot MOVE elements from", get1, "to", get2) \
    X(script, too_long, 359, "too-long", "Content too long") \
    X(script, invalid_char, 360, "invalid-char", "Invalid char! value:", get1) \
    X(script, bad_loop_series, 361, "bad-loop-series", "Loop series changed to invalid value:", get1) \
    X(script, wrong_denom, 362, "wrong-denom", get1, "not same denomination as", get2) \
    X(script, bad_denom, 363, "bad-denom", "invalid denomination:", get1) \
    X(script, invalid_obj_evt, 364, "invalid-obj-evt", "invalid object event handler:", get1) \
    X(script, parse_rule, 365, "parse-rule", "PARSE - invalid rule or usage of rule:", get1) \
    X(script, parse_end, 366, "parse-end", "PARSE - unexpected end of rule after:", get1) \
    X(script, parse_invalid_ref, 367, "parse-invalid-ref", "PARSE - get-word refers to a different series!", get1) \
    X(script, parse_block, 368, "parse-block", "PARSE - input must be of any-block! type:", get1) \
    X(script, parse_unsupported, 369, "parse-unsupported", \
      "PARSE - matching by datatype not supported for any-string! input") \
    X(script, parse_infinite, 370, "parse-infinite", "PARSE - infinite recursion at rule: [", get1, "]") \
    X(script, parse_stack, 371, "parse-stack", "PARSE - stack limit reached") \
    X(script, parse_keep, 372, "parse-keep", "PARSE - KEEP is used without a wrapping COLLECT") \
    X(script, parse_into_bad, 373, "parse-into-bad", "PARSE - COLLECT INTO/AFTER invalid series! argument") \
    X(script, parse_into_type, 374, "parse-into-type", \
      "PARSE - COLLECT INTO/AFTER expects a series! of compatible datatype") \
    X(script, draw_invalid, 375, "draw-invalid", "DRAW - invalid input at:", get1) \
    X(script, draw_infinite, 376, "draw-infinite", "DRAW - infinite recursion at:", get1) \
    X(script, invalid_data_facet, 377, "invalid-data-facet", "invalid DATA facet content", get1) \
    X(script, face_type, 378, "face-type", "VIEW - invalid face type:", get1) \
    X(script, not_window, 379, "not-window", "VIEW - expected a window root face") \
    X(script, bad_window, 380, "bad-window", "VIEW - a window face cannot be nested in another window") \
    X(script, not_linked, 381, "not-linked", "VIEW - face not linked to a window") \
    X(script, not_event_type, 382, "not-event-type", "VIEW - not a valid event type", get1) \
    X(script, invalid_facet_type, 383, "invalid-facet-type", "VIEW - invalid rate value:", get1) \
    X(script, vid_invalid_syntax, 384, "vid-invalid-syntax", "VID - invalid syntax at:", get1) \
    X(script, rtd_invalid_syntax, 385, "rtd-invalid-syntax", "RTD - invalid syntax at:", get1) \
    X(script, rtd_no_match, 386, "rtd-no-match", "RTD - opening/closing tag not matching for:", get1) \
    X(script, react_bad_func, 387, "react-bad-func", "REACT - /LINK option requires a function! as argument") \
    X(script, react_not_enough, 388, "react-not-enough", \
      "REACT - reactive functions must accept at least 2 arguments") \
    X(script, react_no_match, 389, "react-no-match", \
      "REACT - objects block length must match reaction function arg count") \
    X(script, react_bad_obj, 390, "react-bad-obj", "REACT - target can only contain object values") \
    X(script, react_gctx, 391, "react-gctx", "REACT - word", get1, "is not a reactor's field") \
    X(script, lib_invalid_arg, 392, "lib-invalid-arg", "LIBORU - invalid argument for", get1) \
    X(script, ob_invalid_record, 393, "ob-invalid-record", "ORUBIN - invalid record at index", get1) \
    X(math, zero_divide, 400, "zero-divide", "attempt to divide by zero") \
    X(math, overflow, 401, "overflow", "math or number overflow") \
    X(math, positive, 402, "positive", "positive number required") \
    X(access, cannot_open, 500, "cannot-open", "cannot open:", get1) \
    X(access, cannot_close, 501, "cannot-close", "cannot close:", get1) \
    X(access, invalid_utf8, 502, "invalid-utf8", "invalid UTF-8 encoding:", get1) \
    X(access, not_open, 503, "not-open", "port is not open:", get1) \
    X(access, no_connect, 504, "no-connect", "cannot connect:", get1, "reason: timeout") \
    X(access, no_scheme, 505, "no-scheme", "missing port scheme:", get1) \
    X(access, unknown_scheme, 506, "unknown-scheme", "scheme is unknown:", get1) \
    X(access, invalid_spec, 507, "invalid-spec", "invalid spec or options:", get1) \
    X(access, invalid_port, 508, "invalid-port", "invalid port object (invalid field values)") \
    X(access, invalid_actor, 509, "invalid-actor", "invalid port actor (must be handle or object)") \
    X(access, no_port_action, 510, "no-port-action", "port action not supported") \
    X(access, no_create, 511, "no-create", "cannot create:", get1) \
    X(access, no_codec, 512, "no-codec", "cannot decode or encode (no codec):", get1) \
    X(access, bad_media, 513, "bad-media", "bad media data (corrupt image, sound, video)") \
    X(access, invalid_cmd, 514, "invalid-cmd", "invalid port command:", get1) \
    X(user, message, 800, "message", word1) \
    X(internal, bad_path, 900, "bad-path", "bad path:", word1) \
    X(internal, not_here, 901, "not-here", word1, "not supported on your system") \
    X(internal, no_memory, 902, "no-memory", "not enough memory") \
    X(internal, wrong_mem, 903, "wrong-mem", "failed to release memory") \
    X(internal, stack_overflow, 904, "stack-overflow", "stack overflow") \
    X(internal, limit_hit, 905, "limit-hit", "internal limit reached:", get1) \
    X(internal, too_deep, 906, "too-deep", "block or paren series is too deep to process") \
    X(internal, no_cycle, 907, "no-cycle", "circular reference not allowed") \
    X(internal, feature_na, 908, "feature-na", "feature not available") \
    X(internal, not_done, 909, "not-done", "reserved for future use (or not yet implemented)") \
    X(internal, invalid_error, 910, "invalid-error", "invalid error object field value:", get1) \
    X(internal, routines, 911, "routines", "routines require compilation, from OS shell: `oru -r <script.oru>`") \
    X(internal, oru_system, 912, "oru-system", "contains Oru/System code which requires compilation") \
    X(internal, deprecated, 913, "deprecated", word1, "is DEPRECATED, please use", word2, "instead")

enum class ErrorCategory : u32 {
#define ORU_ERR_CAT(name, code, spelling, type) name = code / 100,
    ORU_ERROR_CATEGORIES(ORU_ERR_CAT)
#undef ORU_ERR_CAT
};

// Each id is its error code.
enum class ErrorId : u32 {
#define ORU_ERR_ID(cat, name, code, spelling, ...) cat##_##name = code,
    ORU_ERRORS(ORU_ERR_ID)
#undef ORU_ERR_ID
};

constexpr u32 error_id_count = 140;
constexpr u32 error_category_count = 10;

inline ErrorCategory category_of(ErrorId id) { return static_cast<ErrorCategory>(static_cast<u32>(id) / 100); }
inline u32 error_code(ErrorId id) { return static_cast<u32>(id); }

// Spellings and display types (Throw Error ...), from the lists above.
const char* error_category_name(ErrorCategory c);
const char* error_category_type(ErrorCategory c);
const char* error_id_name(ErrorId id);

}  // namespace oru
