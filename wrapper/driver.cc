// SPDX-License-Identifier: BSD-2-Clause
// The driver of tolv-ar, tolv-ranlib and tolv-nm: finds the plug-in and the real tool in the
// installation the program belongs to, runs the tool with "--plugin" and the plug-in's path in
// front of the user's arguments, and exits with the tool's status. Compiled once per
// personality (TOLV_PROGRAM_NAME, TOLV_TOOL_NAME, TOLV_DASH_RULE).
//
// Everything here runs once per tool invocation, so start-up does only what the run needs:
// C stdio only, no static constructors, and nothing is freed (the process ends at once).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "paths/relative_prefix.h"
#include "paths/search_list.h"
#include "pex/pipeline.h"
#include "pex/unix_backend_private.h"
#include "support/alloc.h"
#include "support/join.h"
#include "wrapper/arguments.h"
#include "tolv_config.h"

namespace {

constexpr char program_name[] = TOLV_PROGRAM_NAME;
constexpr char tool_name[] = TOLV_TOOL_NAME;
constexpr bool dash_rule = TOLV_DASH_RULE != 0;

// The same text in all three builds.
constexpr char usage_line[] = "Usage: tolv-ar [-B prefix] ar arguments ...\n";

search_list tool_search_list;
search_list path_search_list;

// What the run builds lives until the process ends and is never freed; holding it here keeps it
// reachable to the end, so that leak checkers tell it from a real leak.
struct {
  const char *program_path, *lib_dir, *libexec_dir, *tooldir_up, *tool_dirs[2];
  const char *prefix_directory, *plugin_path, *tool_path, *prefixed_name, *child_name;
  const char **tool_vector;
} kept;

}  // namespace

int main(int argc, char **argv) {
  // With no argument vector at all there is no name to relocate or to print.
  const char *const shown_name = argc > 0 ? argv[0] : program_name;
  kept.program_path = argc > 0 ? argv[0] : nullptr;
  if (const char *exec_prefix = getenv("TOLV_EXEC_PREFIX"))
    kept.program_path = join_strings(exec_prefix, program_name, nullptr);

  kept.lib_dir = relative_prefix(kept.program_path, config_bin_dir, config_lib_dir);
  const char *lib_dir = kept.lib_dir != nullptr ? kept.lib_dir : config_lib_dir;
  kept.libexec_dir = relative_prefix(kept.program_path, config_bin_dir, config_libexec_dir);
  const char *libexec_dir = kept.libexec_dir != nullptr ? kept.libexec_dir : config_libexec_dir;

  kept.tooldir_up = join_strings("../../../../", config_target, "/", nullptr);
  kept.tool_dirs[0] = join_strings(lib_dir, config_target, "/", config_version, "/",
                                   kept.tooldir_up, "bin", nullptr);
  kept.tool_dirs[1] = join_strings(libexec_dir, config_target, "/", config_version, "/", nullptr);
  search_list_add_string(kept.tool_dirs[0], &tool_search_list);
  search_list_add_string(kept.tool_dirs[1], &tool_search_list);

  switch (wrapper_take_prefix_option(&argc, argv, &kept.prefix_directory)) {
    case WRAPPER_PREFIX_MISSING:
      fputs(usage_line, stderr);
      exit(1);
    case WRAPPER_PREFIX_FOUND:
      search_list_prepend(&tool_search_list, kept.prefix_directory);
      break;
    case WRAPPER_NO_PREFIX:
      break;
  }

  kept.plugin_path = search_list_find(&tool_search_list, plugin_file_name, R_OK);
  if (kept.plugin_path == nullptr) {
    fprintf(stderr, "%s: Cannot find plugin '%s'\n", shown_name, plugin_file_name);
    exit(1);
  }
  kept.tool_path = search_list_find(&tool_search_list, tool_name, X_OK);
  if (kept.tool_path == nullptr) {
    // The path list is read only here, so it is built only when the installation has no tool:
    // the PATH elements, with the "-B" directory in front.
    search_list_add_env("PATH", &path_search_list);
    if (kept.prefix_directory != nullptr) search_list_prepend(&path_search_list, kept.prefix_directory);
    kept.prefixed_name = join_strings(config_target, "-", tool_name, nullptr);
    kept.tool_path = search_list_find(&path_search_list, kept.prefixed_name, X_OK);
    if (kept.tool_path == nullptr) {
      fprintf(stderr, "%s: Cannot find binary '%s'\n", shown_name, kept.prefixed_name);
      exit(1);
    }
  }
  const char *const tool_path = kept.tool_path;

  if (dash_rule) wrapper_apply_dash_rule(argc, argv);
  kept.tool_vector =
      static_cast<const char **>(must_calloc(static_cast<size_t>(argc) + 4, sizeof(char *)));
  kept.tool_vector[0] = tool_path;
  kept.tool_vector[1] = "--plugin";
  kept.tool_vector[2] = kept.plugin_path;
  for (int i = 1; i < argc; ++i) kept.tool_vector[i + 2] = argv[i];

  // A tool found under a "-B" prefix without "/" (an empty one, a lone dot) is a path relative
  // to the working directory: a path search would run some other program of that name instead.
  int stage_flags = PEX_FINAL_STAGE | PEX_PATH_SEARCH;
  if (strchr(tool_path, '/') == nullptr) stage_flags &= ~PEX_PATH_SEARCH;

  // An ignored SIGCHLD, inherited from whoever started the wrapper, would have the system reap
  // the tool by itself and its status would be lost. The default action is no handler.
  signal(SIGCHLD, SIG_DFL);
  // Nor any other: a program starts with none and this one installs none; nor does it mark a
  // standard descriptor close-on-exec. The child has nothing to reset or clear before its exec.
  unix_backend_plain_program = 1;

  kept.child_name = join_strings(child_name_prefix, tool_path, nullptr);
  int status = 0;
  int error_number = 0;
  const char *failure =
      pex_run_once(stage_flags, tool_path, const_cast<char *const *>(kept.tool_vector),
                   kept.child_name, nullptr, nullptr, &status, &error_number);
  if (failure != nullptr) {
    fprintf(stderr, "Error running %s: %s\n", tool_path, failure);
    return 1;
  }

  // The platform's wait status: low 7 bits the signal, 0x7f stopped, 0x13 continued, 0x80 core
  // dumped, the exit code from bit 8 up.
  const int signal_number = status & 0x7f;
  if (status == 0) return 0;
  if (signal_number == 0) return status >> 8;
  if (signal_number == 0x7f || status == 0x13) return 1;
  fprintf(stderr, "%s terminated with signal %d [%s]%s\n", tool_path, signal_number,
          strsignal(signal_number), (status & 0x80) != 0 ? ", core dumped" : "");
  return 1;
}
