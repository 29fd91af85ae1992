vorlan_test(FrameTest frameTest.cc testMain.cc)
target_compile_definitions(FrameTest PRIVATE
  "VORLAN_STORE_LOCKER=\"$<TARGET_FILE:storeLocker>\"")
add_dependencies(FrameTest storeLocker)

# The public header compiled as C, against the shared library itself.
add_executable(cApiTest cApiTest.c)
target_link_libraries(cApiTest PRIVATE Vorlan)
target_include_directories(cApiTest PRIVATE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(cApiTest PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(cApiTest PRIVATE -pedantic-errors)
add_test(NAME CApi.OpenQueryClose
  COMMAND sh -c "d=$(mktemp -d) && $<TARGET_FILE:cApiTest> \"$d\"; rc=$?; rm -rf \"$d\"; exit $rc")

add_test(NAME Exports.OnlyThePublicInterface
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/exportedSymbols.sh $<TARGET_FILE:Vorlan>)
