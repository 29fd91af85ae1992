vorlan_test(SysInfoProbeTest sysinfoProbeTest.cc testMain.cc)

# Loads a work directory's system information from another process.
add_executable(sinfoLoader sinfoLoader.cc)
target_link_libraries(sinfoLoader PRIVATE vorlan_internal)
vorlan_test(SysInfoDocTest sysinfoDocTest.cc testMain.cc)
target_compile_definitions(SysInfoDocTest PRIVATE
  "VORLAN_SINFO_LOADER=\"$<TARGET_FILE:sinfoLoader>\"")
add_dependencies(SysInfoDocTest sinfoLoader)
