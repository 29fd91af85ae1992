vorlan_test(RuntimeTest runtimeTest.cc testMain.cc)
