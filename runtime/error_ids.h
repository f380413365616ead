// The error catalog: categories and ids in their fixed order.
//
// An error's code is its category's code (100 x category position) plus the
// id's position within the category, so inserting an id shifts every code
// after it. ORDER ERRORS: this list, the catalog object and the messages keep
// one order.
#pragma once

#include "runtime/cell.h"

namespace oru {

#define ORU_ERROR_CATEGORIES(X) \
    X(throw_, 0, "Throw Error") \
    X(note, 100, "note") \
    X(syntax, 200, "Syntax Error") \
    X(script, 300, "Script Error") \
    X(math, 400, "Math Error") \
    X(access, 500, "Access Error") \
    X(reserved1, 600, "Reserved1 Error") \
    X(reserved2, 700, "Reserved2 Error") \
    X(user, 800, "User Error") \
    X(internal, 900, "Internal Error")

// X(category, id, code, spelling)
#define ORU_ERRORS(X) \
    X(throw, break, 0, "break") \
    X(throw, return, 1, "return") \
    X(throw, throw, 2, "throw") \
    X(throw, continue, 3, "continue") \
    X(throw, while_cond, 4, "while-cond") \
    X(note, no_load, 100, "no-load") \
    X(syntax, invalid, 200, "invalid") \
    X(syntax, missing, 201, "missing") \
    X(syntax, no_header, 202, "no-header") \
    X(syntax, no_rs_header, 203, "no-rs-header") \
    X(syntax, bad_header, 204, "bad-header") \
    X(syntax, malconstruct, 205, "malconstruct") \
    X(syntax, bad_char, 206, "bad-char") \
    X(script, no_value, 300, "no-value") \
    X(script, need_value, 301, "need-value") \
    X(script, not_defined, 302, "not-defined") \
    X(script, not_in_context, 303, "not-in-context") \
    X(script, no_arg, 304, "no-arg") \
    X(script, expect_arg, 305, "expect-arg") \
    X(script, expect_val, 306, "expect-val") \
    X(script, expect_type, 307, "expect-type") \
    X(script, cannot_use, 308, "cannot-use") \
    X(script, invalid_arg, 309, "invalid-arg") \
    X(script, invalid_type, 310, "invalid-type") \
    X(script, invalid_type_spec, 311, "invalid-type-spec") \
    X(script, invalid_key_type, 312, "invalid-key-type") \
    X(script, invalid_op, 313, "invalid-op") \
    X(script, no_op_arg, 314, "no-op-arg") \
    X(script, bad_op_spec, 315, "bad-op-spec") \
    X(script, invalid_data, 316, "invalid-data") \
    X(script, invalid_part, 317, "invalid-part") \
    X(script, not_same_type, 318, "not-same-type") \
    X(script, not_same_class, 319, "not-same-class") \
    X(script, not_related, 320, "not-related") \
    X(script, bad_func_def, 321, "bad-func-def") \
    X(script, bad_func_arg, 322, "bad-func-arg") \
    X(script, bad_func_extern, 323, "bad-func-extern") \
    X(script, no_refine, 324, "no-refine") \
    X(script, bad_refines, 325, "bad-refines") \
    X(script, bad_refine, 326, "bad-refine") \
    X(script, dup_refine, 327, "dup-refine") \
    X(script, word_first, 328, "word-first") \
    X(script, empty_path, 329, "empty-path") \
    X(script, unset_path, 330, "unset-path") \
    X(script, invalid_path, 331, "invalid-path") \
    X(script, invalid_path_set, 332, "invalid-path-set") \
    X(script, invalid_path_get, 333, "invalid-path-get") \
    X(script, bad_path_type, 334, "bad-path-type") \
    X(script, bad_path_type2, 335, "bad-path-type2") \
    X(script, bad_path_set, 336, "bad-path-set") \
    X(script, bad_field_set, 337, "bad-field-set") \
    X(script, dup_vars, 338, "dup-vars") \
    X(script, past_end, 339, "past-end") \
    X(script, missing_arg, 340, "missing-arg") \
    X(script, out_of_range, 341, "out-of-range") \
    X(script, invalid_chars, 342, "invalid-chars") \
    X(script, invalid_compare, 343, "invalid-compare") \
    X(script, wrong_type, 344, "wrong-type") \
    X(script, invalid_refine_arg, 345, "invalid-refine-arg") \
    X(script, type_limit, 346, "type-limit") \
    X(script, size_limit, 347, "size-limit") \
    X(script, no_return, 348, "no-return") \
    X(script, throw_usage, 349, "throw-usage") \
    X(script, locked_word, 350, "locked-word") \
    X(script, protected, 351, "protected") \
    X(script, bad_bad, 352, "bad-bad") \
    X(script, bad_make_arg, 353, "bad-make-arg") \
    X(script, bad_to_arg, 354, "bad-to-arg") \
    X(script, invalid_months, 355, "invalid-months") \
    X(script, invalid_spec_field, 356, "invalid-spec-field") \
    X(script, missing_spec_field, 357, "missing-spec-field") \
    X(script, move_bad, 358, "move-bad") \
    X(script, too_long, 359, "too-long") \
    X(script, invalid_char, 360, "invalid-char") \
    X(script, bad_loop_series, 361, "bad-loop-series") \
    X(script, wrong_denom, 362, "wrong-denom") \
    X(script, bad_denom, 363, "bad-denom") \
    X(script, invalid_obj_evt, 364, "invalid-obj-evt") \
    X(script, parse_rule, 365, "parse-rule") \
    X(script, parse_end, 366, "parse-end") \
    X(script, parse_invalid_ref, 367, "parse-invalid-ref") \
    X(script, parse_block, 368, "parse-block") \
    X(script, parse_unsupported, 369, "parse-unsupported") \
    X(script, parse_infinite, 370, "parse-infinite") \
    X(script, parse_stack, 371, "parse-stack") \
    X(script, parse_keep, 372, "parse-keep") \
    X(script, parse_into_bad, 373, "parse-into-bad") \
    X(script, parse_into_type, 374, "parse-into-type") \
    X(script, draw_invalid, 375, "draw-invalid") \
    X(script, draw_infinite, 376, "draw-infinite") \
    X(script, invalid_data_facet, 377, "invalid-data-facet") \
    X(script, face_type, 378, "face-type") \
    X(script, not_window, 379, "not-window") \
    X(script, bad_window, 380, "bad-window") \
    X(script, not_linked, 381, "not-linked") \
    X(script, not_event_type, 382, "not-event-type") \
    X(script, invalid_facet_type, 383, "invalid-facet-type") \
    X(script, vid_invalid_syntax, 384, "vid-invalid-syntax") \
    X(script, rtd_invalid_syntax, 385, "rtd-invalid-syntax") \
    X(script, rtd_no_match, 386, "rtd-no-match") \
    X(script, react_bad_func, 387, "react-bad-func") \
    X(script, react_not_enough, 388, "react-not-enough") \
    X(script, react_no_match, 389, "react-no-match") \
    X(script, react_bad_obj, 390, "react-bad-obj") \
    X(script, react_gctx, 391, "react-gctx") \
    X(script, lib_invalid_arg, 392, "lib-invalid-arg") \
    X(script, ob_invalid_record, 393, "ob-invalid-record") \
    X(math, zero_divide, 400, "zero-divide") \
    X(math, overflow, 401, "overflow") \
    X(math, positive, 402, "positive") \
    X(access, cannot_open, 500, "cannot-open") \
    X(access, cannot_close, 501, "cannot-close") \
    X(access, invalid_utf8, 502, "invalid-utf8") \
    X(access, not_open, 503, "not-open") \
    X(access, no_connect, 504, "no-connect") \
    X(access, no_scheme, 505, "no-scheme") \
    X(access, unknown_scheme, 506, "unknown-scheme") \
    X(access, invalid_spec, 507, "invalid-spec") \
    X(access, invalid_port, 508, "invalid-port") \
    X(access, invalid_actor, 509, "invalid-actor") \
    X(access, no_port_action, 510, "no-port-action") \
    X(access, no_create, 511, "no-create") \
    X(access, no_codec, 512, "no-codec") \
    X(access, bad_media, 513, "bad-media") \
    X(access, invalid_cmd, 514, "invalid-cmd") \
    X(user, message, 800, "message") \
    X(internal, bad_path, 900, "bad-path") \
    X(internal, not_here, 901, "not-here") \
    X(internal, no_memory, 902, "no-memory") \
    X(internal, wrong_mem, 903, "wrong-mem") \
    X(internal, stack_overflow, 904, "stack-overflow") \
    X(internal, limit_hit, 905, "limit-hit") \
    X(internal, too_deep, 906, "too-deep") \
    X(internal, no_cycle, 907, "no-cycle") \
    X(internal, feature_na, 908, "feature-na") \
    X(internal, not_done, 909, "not-done") \
    X(internal, invalid_error, 910, "invalid-error") \
    X(internal, routines, 911, "routines") \
    X(internal, oru_system, 912, "oru-system") \
    X(internal, deprecated, 913, "deprecated")

enum class ErrorCategory : u32 {
#define ORU_ERR_CAT(name, code, type) name = code / 100,
    ORU_ERROR_CATEGORIES(ORU_ERR_CAT)
#undef ORU_ERR_CAT
};

// Each id is its error code.
enum class ErrorId : u32 {
#define ORU_ERR_ID(cat, name, code, spelling) cat##_##name = code,
    ORU_ERRORS(ORU_ERR_ID)
#undef ORU_ERR_ID
};

constexpr u32 error_id_count = 140;

inline ErrorCategory category_of(ErrorId id) { return static_cast<ErrorCategory>(static_cast<u32>(id) / 100); }
inline u32 error_code(ErrorId id) { return static_cast<u32>(id); }

// Spellings, for reports made before error! values exist.
const char* error_category_name(ErrorCategory c);
const char* error_category_type(ErrorCategory c);
const char* error_id_name(ErrorId id);

}  // namespace oru
