vorlan_test(RuntimeTest runtimeTest.cc testMain.cc)
vorlan_test(EncodingTest encodingTest.cc testMain.cc)
