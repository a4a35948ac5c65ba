cmake_minimum_required(VERSION 3.25)
# Makes a gzipped man page from a program's --help and --version with help2man, run at build time:
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DINCLUDE=...
#         -DOUTPUT=....1.gz [-DFALLBACK=ON] -P help2man.cmake
# The program runs without a display (DISPLAY and WAYLAND_DISPLAY unset), so that a window
# program answers --help without opening a window.
#
# FALLBACK: a window program that does not yet answer --version (exit 0 and a first line
# "NAME VERSION") gets a page made from the include file alone, with a warning, instead of
# failing the build.
set(env ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM)
execute_process(COMMAND ${env} ${PROGRAM} --version
                RESULT_VARIABLE status OUTPUT_VARIABLE version ERROR_QUIET TIMEOUT 30)
get_filename_component(base ${OUTPUT} NAME_WLE)  # NAME.1
set(page ${OUTPUT}.tmp/${base})
file(MAKE_DIRECTORY ${OUTPUT}.tmp)

if(status EQUAL 0 AND version MATCHES "^${NAME} [0-9]")
  execute_process(
    COMMAND ${env} ${HELP2MAN} --no-info --no-discard-stderr --section=1 "--name=${SUMMARY}"
            --include=${INCLUDE} --output=${page} ${PROGRAM}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed for ${PROGRAM}")
  endif()
elseif(FALLBACK)
  message(WARNING "${PROGRAM} --version did not answer \"${NAME} <version>\" (status ${status}): "
                  "its man page is made from ${INCLUDE} alone.")
  file(READ ${INCLUDE} sections)
  string(REGEX REPLACE "\\[([A-Z ]+)\\]" ".SH \\1" sections "${sections}")
  file(WRITE ${page} ".TH ${NAME} 1\n.SH NAME\n${NAME} \\- ${SUMMARY}\n.SH SYNOPSIS\n.B ${NAME}\n"
                     "${sections}")
else()
  message(FATAL_ERROR "${PROGRAM} --version failed (status ${status}): no man page")
endif()

# gzip -n: no name or time stamp inside, so the same page gives the same file.
execute_process(COMMAND ${GZIP} -9 -n -c ${page} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
file(REMOVE_RECURSE ${OUTPUT}.tmp)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page}")
endif()
