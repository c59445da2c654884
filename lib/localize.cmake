# Makes the static archive one object whose own names are local: run by the build after the
# archive is made, as cmake -DARCHIVE=... -DJOINED=... -DLINKER=... -DREADELF=... -DOBJCOPY=...
# -DAR=... -P localize.cmake. The library's objects are linked into one (ld -r); every name
# it defines with hidden visibility and global binding (the layer's functions, the
# system-call table sys) then becomes local, so that none can meet a name of the program it
# is linked into. Weak names are left as they are: they are the C++ runtime's shared pieces
# (inline functions, DW.ref.__gxx_personality_v0), which the linker merges with other copies.
execute_process(COMMAND ${LINKER} -r -o ${JOINED} --whole-archive ${ARCHIVE}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${READELF} -sW ${JOINED} OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${table}")
set(names "")
foreach(line IN LISTS lines)
  # Num: Value Size Type Bind Vis Ndx Name
  if(line MATCHES "^ *[0-9]+: [0-9a-f]+ +[0-9]+ [A-Z_]+ +GLOBAL +HIDDEN +([0-9]+) +([^ ]+)$")
    string(APPEND names "${CMAKE_MATCH_2}\n")
  endif()
endforeach()
file(WRITE ${JOINED}.local "${names}")
execute_process(COMMAND ${OBJCOPY} --localize-symbols=${JOINED}.local ${JOINED}
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${ARCHIVE})
execute_process(COMMAND ${AR} qcD ${ARCHIVE} ${JOINED} COMMAND_ERROR_IS_FATAL ANY)
