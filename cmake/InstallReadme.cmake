# At install time: README.md as an installed copy reads it, with the build
# tree's paths replaced by the installed ones.
file(READ "${QUELM_README}" text)
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(DEFINED ENV{DESTDIR})
  set(root "$ENV{DESTDIR}")
endif()
string(REPLACE "build/bin/QUELM1.SAM" "${prefix}/${QUELM_LIBDIR}/quelm/QUELM1.SAM" text "${text}")
string(REPLACE "build/bin/libquelmrt.so" "${prefix}/${QUELM_LIBDIR}/libquelmrt.so" text "${text}")
string(REPLACE "build/bin/" "${prefix}/${QUELM_BINDIR}/" text "${text}")
set(note "This copy was installed under ${prefix}: the paths name the installed programs and libraries. Building and testing refer to the source tree.\n\n")
file(WRITE "${root}${prefix}/${QUELM_DOCDIR}/README.md" "${note}${text}")
message(STATUS "Installing: ${root}${prefix}/${QUELM_DOCDIR}/README.md")
