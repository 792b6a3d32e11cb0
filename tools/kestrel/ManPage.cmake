# cmake -DHELP2MAN=... -DCOMMAND=<kestrel> [-DSUBCOMMAND=<name>] -DOUT=<page>.1.gz -P ManPage.cmake
# One man page from the command's own help: kestrel(1) from `kestrel --help`,
# kestrel-NAME(1) from `kestrel NAME --help`.
set(help_option "--help")
set(title "kestrel")
set(name "camera driver API through libKestrel.so, the crash-proof driver proxy")
if(SUBCOMMAND)
  set(help_option "${SUBCOMMAND} --help")
  set(title "kestrel-${SUBCOMMAND}")
  set(name "the ${SUBCOMMAND} subcommand of kestrel(1)")
endif()
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --source=Kestrel
                        "--help-option=${help_option}" --version-option=--version "--name=${name}" ${COMMAND}
                OUTPUT_VARIABLE page RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man failed on ${COMMAND} ${help_option}")
endif()
# help2man names the page after the program; a subcommand's page is its own.
string(TOUPPER "${title}" upper)
string(REGEX REPLACE "\n\\.TH KESTREL " "\n.TH ${upper} " page "${page}")
string(REGEX REPLACE "\n\\.SH NAME\nkestrel " "\n.SH NAME\n${title} " page "${page}")
# Compressed as Debian ships man pages.
get_filename_component(plain ${OUT} NAME_WLE)
get_filename_component(folder ${OUT} DIRECTORY)
file(WRITE ${folder}/${plain} "${page}")
execute_process(COMMAND gzip -9nf ${folder}/${plain} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on ${folder}/${plain}")
endif()
