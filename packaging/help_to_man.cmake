# Writes a man page from a program's --help text when help2man is not there,
# so that the package carries its man pages on every build machine.
#   cmake -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=... -DHELP_OPTION=--help
#         -DOUTPUT=... -P help_to_man.cmake
execute_process(COMMAND "${PROGRAM}" "${HELP_OPTION}"
  OUTPUT_VARIABLE help ERROR_VARIABLE help_err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ${HELP_OPTION} failed (${rc}): ${help_err}")
endif()
# roff: a backslash is written \e; a line starting with . or ' would be a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE "${OUTPUT}"
  ".TH ${title} 1 \"\" \"bxso-gcp ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH DESCRIPTION\n.nf\n${help}\n.fi\n"
  ".SH SEE ALSO\nbxso-host(1), gce-emulator(1); /usr/share/doc/bxso-gcp/\n")
