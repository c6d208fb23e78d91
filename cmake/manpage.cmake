# Writes one program's manual page with help2man from the program's own
# --help and --version, compressed as Debian wants it (gzip -9n: no name,
# no time stamp). Run as a script by cmake/packaging.cmake:
#
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... [-DEMULATOR=...] -DSECTION=N
#         -DDESCRIPTION=... [-DCOMMANDS=1] -DOUTPUT=PAGE.gz -P manpage.cmake
#
# EMULATOR runs a target program on the build machine (a cross build):
# help2man is given a wrapper of the program's name that runs it through
# the emulator. COMMANDS=1 adds `PROGRAM help` as the COMMANDS section.
foreach(var HELP2MAN GZIP PROGRAM SECTION DESCRIPTION OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "manpage.cmake: ${var} is required")
  endif()
endforeach()

get_filename_component(name ${PROGRAM} NAME)
get_filename_component(dir ${OUTPUT} DIRECTORY)
set(work ${dir}/${name}.work)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

set(program ${PROGRAM})
if(EMULATOR)
  set(program ${work}/${name})
  file(WRITE ${program} "#!/bin/sh\nexec ${EMULATOR} '${PROGRAM}' \"$@\"\n")
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()

set(include_args "")
if(COMMANDS)
  execute_process(COMMAND ${program} help OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "manpage.cmake: `${name} help` failed")
  endif()
  # The listing as it prints, in roff: backslashes escaped, and no line
  # read as a request.
  string(REPLACE "\\" "\\e" listing "${listing}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" listing "${listing}")
  file(WRITE ${work}/include "[COMMANDS]\n.nf\n${listing}.fi\n")
  set(include_args --include=${work}/include)
endif()

execute_process(
  COMMAND ${HELP2MAN} --no-info --section=${SECTION} --name=${DESCRIPTION} ${include_args}
          --output=${work}/${name}.${SECTION} ${program}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "manpage.cmake: help2man could not read ${name} --help and --version")
endif()
execute_process(COMMAND ${GZIP} -9n -c ${work}/${name}.${SECTION} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "manpage.cmake: cannot compress the page of ${name}")
endif()
file(REMOVE_RECURSE ${work})
