# cmake -DOBJDUMP=... -DDLL=... -DCOUNT=15 -P check_exports.cmake
# The wrapper's export table as the linker wrote it: plain names in this order,
# ordinal base 1, and the SDK among the imports.
set(expected
  Ostrel_AddAudioBuffer Ostrel_CreateSnapLiveAudioEmbedder Ostrel_DestroySnapLiveAudioEmbedder
  Ostrel_EnableRecord Ostrel_Finalize Ostrel_GetChannelNameIDList Ostrel_GetChannelNameList
  Ostrel_GetVersion Ostrel_Initialize Ostrel_ResynchronizeTimecode Ostrel_SetBitsPerSample
  Ostrel_SetChannelName Ostrel_SetChannels Ostrel_SetThreadCPUAffinity Ostrel_SetThreadPriority)
list(SUBLIST expected 0 ${COUNT} expected)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${out}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(names "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND names "${name}")
endforeach()
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports differ:\n  got      ${names}\n  expected ${expected}")
endif()
if(NOT out MATCHES "Ordinal Base[ \t]+1\n")
  message(FATAL_ERROR "ordinal base is not 1")
endif()
if(NOT out MATCHES "DLL Name: SnapLiveAudioEmbedderSDK.dll")
  message(FATAL_ERROR "no import of SnapLiveAudioEmbedderSDK.dll")
endif()
message(STATUS "${DLL}: ${COUNT} exports in order, ordinal base 1")
