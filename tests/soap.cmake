vorlan_test(SoapTest soapTest.cc testMain.cc)
