// Environment, process and data natives: set-env, get-env, list-env, call,
// browse, as, recycle and apply; and the routines that reach the file
// system and the OS description: create-dir, exists? and os-info.
//
// The natives convert their arguments and hand the work to the services of
// io/ (os_info.h, call.h, simple_io.h) and of the evaluator (apply). Until
// file! and url! register, the arguments that name files or URLs take a
// string! as well: the path text is the same.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/routine.h"

#include <string>
#include <vector>

namespace oru::natives {

u32 set_env(bool check, const i32* refinements);
u32 get_env(bool check, const i32* refinements);
u32 list_env(bool check, const i32* refinements);
u32 call(bool check, const i32* refinements);
u32 browse(bool check, const i32* refinements);
u32 as(bool check, const i32* refinements);
u32 recycle(bool check, const i32* refinements);
u32 apply(bool check, const i32* refinements);

}  // namespace oru::natives

namespace oru::natives_process {

// The routines' entries (argument cells in the current frame).
routine::Machine create_dir(const routine::Machine* args, i32 count);
routine::Machine exists_q(const routine::Machine* args, i32 count);
routine::Machine set_current_dir(const routine::Machine* args, i32 count);
routine::Machine os_info(const routine::Machine* args, i32 count);

// The browser command for a target: $BROWSER when set (its first word the
// program, the target one more argument), else xdg-open.
std::vector<std::string> browser_command(const std::string& target);

// Hands set-env (92), get-env (93), list-env (94), as (98), call (99),
// browse (102), recycle (105) and apply (107) to the native table.
void register_all();

}  // namespace oru::natives_process
