# The system DLLs the installer needs that are not Known DLLs. Windows looks for such a DLL in the
# exe's own folder before System32, and a web installer is started from a Downloads folder that
# holds whatever else was downloaded there. So the exe must not import them statically: each is
# linked through a delay-import library made here from MinGW-w64's own import library, and
# load_system_dlls() (src/installer/windows_app/system_dlls.cpp) loads them from System32 only
# before the first call reaches one. Keep the two lists equal.
set(BRIMORA_SYSTEM32_DLLS bcrypt comctl32 crypt32 winhttp wintrust)

# brimora_system32_dlls: an interface target linking every delay-import library below.
add_library(brimora_system32_dlls INTERFACE)
foreach(dll IN LISTS BRIMORA_SYSTEM32_DLLS)
  find_library(BRIMORA_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
  execute_process(COMMAND "${CMAKE_NM}" -g --defined-only "${BRIMORA_IMPORT_LIB_${dll}}"
    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  # Every export has an __imp_ pointer; a function also has a thunk of its own name, data has not.
  string(REGEX MATCHALL "[IT] [A-Za-z0-9_@]+" entries "${symbols}")
  set(functions "")
  set(pointers "")
  foreach(entry IN LISTS entries)
    string(SUBSTRING "${entry}" 2 -1 name)
    if(name MATCHES "^__imp_(.+)$")
      list(APPEND pointers "${CMAKE_MATCH_1}")
    else()
      list(APPEND functions "${name}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES pointers)
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(name IN LISTS pointers)
    if(name IN_LIST functions)
      string(APPEND def "${name}\n")
    else()
      string(APPEND def "${name} DATA\n")
    endif()
  endforeach()
  set(def_file "${PROJECT_BINARY_DIR}/delay-imports/${dll}.def")
  set(delay_lib "${PROJECT_BINARY_DIR}/delay-imports/lib${dll}_delay.a")
  file(WRITE "${def_file}.new" "${def}")
  file(COPY_FILE "${def_file}.new" "${def_file}" ONLY_IF_DIFFERENT)
  add_custom_command(OUTPUT "${delay_lib}"
    COMMAND "${CMAKE_DLLTOOL}" --input-def "${def_file}" --dllname ${dll}.dll --output-delaylib "${delay_lib}"
    DEPENDS "${def_file}"
    COMMENT "Delay-import library for ${dll}.dll")
  add_custom_target(brimora_delay_${dll} DEPENDS "${delay_lib}")
  add_dependencies(brimora_system32_dlls brimora_delay_${dll})
  target_link_libraries(brimora_system32_dlls INTERFACE "${delay_lib}")
endforeach()
