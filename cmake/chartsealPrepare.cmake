# chartseal_prepare_library: a game build's songs, sealed as it builds.
#
#   chartseal_prepare_library(<target> SOURCE <dir> OUTPUT <dir> [ALL])
#
# Adds the custom target <target>, whose one step runs
#
#   chartseal-library --into <OUTPUT> --delete --quiet <SOURCE>
#
# (the program is the package's own, chartseal::chartseal-library): for each
# chart SOURCE/<rel>/<song>.sm it writes OUTPUT/<rel>/<song>.sm, the plain
# part, and OUTPUT/<rel>/<song>_2.dat to _6.dat, the sealed files, and it
# removes from OUTPUT the files of songs that are no longer in SOURCE. The
# charts in SOURCE are never changed. A song whose files in OUTPUT already
# hold what would be written is left as it is, time stamps included, so that
# whatever the game build does with OUTPUT afterwards sees only the songs that
# changed.
#
#   SOURCE  the folder of charts, searched through all its subfolders. A
#           relative name is taken from the current source folder
#           (CMAKE_CURRENT_SOURCE_DIR). It must exist when CMake runs.
#   OUTPUT  the folder the prepared songs go into, made when missing. A
#           relative name is taken from the current build folder
#           (CMAKE_CURRENT_BINARY_DIR). Give it a folder of its own: with
#           --delete, files there that belong to no chart of SOURCE may be
#           removed. It may not be SOURCE, lie inside it or hold it, nor
#           share a folder with another call's OUTPUT.
#   ALL     the step is part of the default build ("all"); without it, it
#           runs when <target> is built, or a target that depends on it
#           (add_dependencies(game <target>)) is.
#
# The files it writes are the step's byproducts, and the target's property
# CHARTSEAL_OUTPUTS lists them, with the target's list of charts (rewritten
# when a song is added or removed): a later step that depends on them runs
# again only when one of them was written anew or a song came or went (with
# Ninja; Makefiles rerun it whenever the step ran):
#
#   get_target_property(prepared <target> CHARTSEAL_OUTPUTS)
#   add_custom_command(OUTPUT catalog.txt COMMAND ... DEPENDS ${prepared})
#
# When it runs: the step runs when a chart (*.sm) under SOURCE is changed,
# added or removed, when chartseal-library itself is replaced (an upgrade),
# and at the next build after a run that failed; otherwise a build does nothing for it (Ninja
# says "no work to do"). Adding or removing a chart is seen because the charts
# are listed with CONFIGURE_DEPENDS: the build first runs CMake again, which
# rewrites this target's list of charts, and the step depends on that list.
# A chart is seen as changed when its time stamp is newer than the step's
# last run, as with any build input.
#
# Tried with Ninja and Makefiles; names with spaces are passed as they are.
# Needs CMake 3.20 or later.

# The policies this file is written for, whatever the project that finds the
# package asks for; a function keeps those it was defined under.
cmake_policy(PUSH)
cmake_policy(VERSION 3.20...3.25)

function(chartseal_prepare_library)
  set(usage "chartseal_prepare_library(<target> SOURCE <dir> OUTPUT <dir> [ALL])")
  if(ARGC LESS 1 OR ARGV0 STREQUAL "SOURCE" OR ARGV0 STREQUAL "OUTPUT" OR ARGV0 STREQUAL "ALL")
    message(FATAL_ERROR "chartseal_prepare_library: the first argument names the target to add; usage: ${usage}")
  endif()
  set(target "${ARGV0}")
  cmake_parse_arguments(PARSE_ARGV 1 arg "ALL" "SOURCE;OUTPUT" "")
  if(arg_UNPARSED_ARGUMENTS)
    list(JOIN arg_UNPARSED_ARGUMENTS " " unknown)
    message(FATAL_ERROR "chartseal_prepare_library(${target}): unknown argument(s) ${unknown}; usage: ${usage}")
  endif()
  foreach(keyword IN ITEMS SOURCE OUTPUT)
    if(keyword IN_LIST arg_KEYWORDS_MISSING_VALUES OR "${arg_${keyword}}" STREQUAL "")
      message(FATAL_ERROR "chartseal_prepare_library(${target}): ${keyword} <dir> is missing; usage: ${usage}")
    endif()
  endforeach()
  if(TARGET "${target}")
    message(FATAL_ERROR "chartseal_prepare_library(${target}): a target named ${target} exists already")
  endif()
  if(NOT TARGET chartseal::chartseal-library)
    message(FATAL_ERROR "chartseal_prepare_library(${target}): the imported target chartseal::chartseal-library "
                        "is missing; call find_package(chartseal CONFIG REQUIRED) first")
  endif()

  cmake_path(ABSOLUTE_PATH arg_SOURCE BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE OUTPUT_VARIABLE source)
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE OUTPUT_VARIABLE output)
  # Without a trailing separator, so that the checks below compare folders.
  string(REGEX REPLACE "(.)/$" "\\1" source "${source}")
  string(REGEX REPLACE "(.)/$" "\\1" output "${output}")
  if(NOT IS_DIRECTORY "${source}")
    message(FATAL_ERROR "chartseal_prepare_library(${target}): SOURCE ${source} is not a folder")
  endif()
  # The outputs are charts too: in SOURCE they would be taken for songs, and
  # --delete in a folder that holds SOURCE would reach into it.
  cmake_path(IS_PREFIX source "${output}" output_in_source)
  cmake_path(IS_PREFIX output "${source}" source_in_output)
  if(output_in_source OR source_in_output)
    message(FATAL_ERROR "chartseal_prepare_library(${target}): OUTPUT ${output} and SOURCE ${source} "
                        "must be apart, neither inside the other")
  endif()
  # Two steps with --delete on one folder would remove each other's songs.
  get_property(taken GLOBAL PROPERTY CHARTSEAL_PREPARED_OUTPUTS)
  foreach(other IN LISTS taken)
    cmake_path(IS_PREFIX other "${output}" inside)
    cmake_path(IS_PREFIX output "${other}" holds)
    if(inside OR holds)
      message(FATAL_ERROR "chartseal_prepare_library(${target}): OUTPUT ${output} overlaps ${other}, "
                          "the OUTPUT of another call")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY CHARTSEAL_PREPARED_OUTPUTS "${output}")

  # Every chart, listed again before each build: a chart added or removed
  # makes the build run CMake again first.
  file(GLOB_RECURSE charts LIST_DIRECTORIES false CONFIGURE_DEPENDS "${source}/*.sm")
  list(SORT charts)
  # The list of charts, rewritten only when it changes: the step depends on
  # it, so that a chart removed (which leaves no newer input behind) runs the
  # step too, and nothing else does.
  set(state "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.chartseal")
  set(listed "${state}/charts.txt")
  set(stamp "${state}/prepared.stamp")
  set(content "")
  set(prepared "")
  foreach(chart IN LISTS charts)
    file(RELATIVE_PATH name "${source}" "${chart}")
    string(APPEND content "${name}\n")
    # What the step writes for it: the plain part and the five sealed files.
    string(REGEX REPLACE "\\.sm$" "" song "${output}/${name}")
    list(APPEND prepared "${song}.sm" "${song}_2.dat" "${song}_3.dat" "${song}_4.dat" "${song}_5.dat" "${song}_6.dat")
  endforeach()
  set(before "")
  if(EXISTS "${listed}")
    file(READ "${listed}" before)
  endif()
  if(NOT before STREQUAL content)
    file(WRITE "${listed}" "${content}")
  endif()

  # The prepared files are the step's byproducts: a later step may depend on
  # them, and (with Ninja, which checks their time stamps again after the
  # step) runs again only when one of them was written anew.
  add_custom_command(OUTPUT "${stamp}"
    BYPRODUCTS ${prepared}
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${output}"
    COMMAND "$<TARGET_FILE:chartseal::chartseal-library>" --into "${output}" --delete --quiet "${source}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${charts} "${listed}" chartseal::chartseal-library
    COMMENT "Sealing the songs of ${source} into ${output}"
    VERBATIM)
  if(arg_ALL)
    set(all ALL)
  else()
    set(all "")
  endif()
  add_custom_target("${target}" ${all} DEPENDS "${stamp}")
  # With the list of charts, which changes when a song is added or removed
  # (whose files go without a new time stamp on any other).
  set_target_properties("${target}" PROPERTIES CHARTSEAL_OUTPUTS "${prepared};${listed}")
endfunction()

cmake_policy(POP)
