# Writes the manual page of one tool from its --help text, at install time
# (PX_MAN_EXE, PX_MAN_NAME, PX_MAN_VERSION set by the caller).
set(_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/man/man1")
file(MAKE_DIRECTORY "${_dir}")
execute_process(COMMAND "${PX_MAN_EXE}" --help
                OUTPUT_VARIABLE _help ERROR_VARIABLE _help TIMEOUT 10)
# Backslashes and lines starting with a dot or quote would be roff commands.
string(REPLACE "\\" "\\e" _help "${_help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" _help "${_help}")
file(WRITE "${_dir}/${PX_MAN_NAME}.1"
".TH ${PX_MAN_NAME} 1 \"\" \"portex ${PX_MAN_VERSION}\" \"Portex tools\"
.SH NAME
${PX_MAN_NAME} \\- a tool of the Portex communication server
.SH DESCRIPTION
.nf
${_help}
.fi
.SH SEE ALSO
portexd(8)
")
execute_process(COMMAND gzip -9nf "${_dir}/${PX_MAN_NAME}.1")
