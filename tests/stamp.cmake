# vorlan-stamp against copies of the built library, each loaded by a child
# process the way an application loads it.
add_executable(stampProbe stampProbe.c)
target_link_libraries(stampProbe PRIVATE ${CMAKE_DL_LIBS})

vorlan_test(stampTests stampTests.cc testMain.cc)
target_compile_definitions(stampTests PRIVATE
  "VORLAN_LIBRARY_FILE=\"$<TARGET_FILE:Vorlan>\""
  "VORLAN_STAMP_TOOL=\"$<TARGET_FILE:vorlan-stamp>\""
  "VORLAN_STAMP_PROBE=\"$<TARGET_FILE:stampProbe>\""
  VORLAN_BUILT_CUSTOMER_ID=${VORLAN_STAMP_CUSTOMER_ID}
  VORLAN_BUILT_PRODUCT_ID=${VORLAN_STAMP_PRODUCT_ID})
add_dependencies(stampTests Vorlan vorlan-stamp stampProbe)
