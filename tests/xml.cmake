vorlan_test(XmlTest xmlTest.cc testMain.cc)

# Holds a store file from another process for StoreFileTest.
add_executable(storeLocker storeLocker.cc)
target_link_libraries(storeLocker PRIVATE vorlan_internal)
vorlan_test(StoreTest storeTest.cc testMain.cc)
target_compile_definitions(StoreTest PRIVATE
  "VORLAN_STORE_LOCKER=\"$<TARGET_FILE:storeLocker>\"")
add_dependencies(StoreTest storeLocker)
