# Run as `cmake -DPAGE=FILE -P StripCommandTable.cmake` on the page help2man
# made of gateway-sim --help: the table of commands at the end of --help is
# taken out of OPTIONS, where it would run together; the page's own COMMANDS
# section (gateway-sim.h2m) lists them one item each.
file(READ "${PAGE}" text)
string(FIND "${text}" ".PP\nCommands (at the prompt" start)
if(start LESS 0)
    return()
endif()
string(SUBSTRING "${text}" ${start} -1 tail)
string(FIND "${tail}" "\n.SH " end)
if(end LESS 0)
    string(SUBSTRING "${text}" 0 ${start} text)
else()
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${tail}" ${end} -1 rest)
    string(SUBSTRING "${text}" 0 ${start} head)
    set(text "${head}${rest}")
endif()
file(WRITE "${PAGE}" "${text}")
