/* A shared library the tests load at run time.  It also carries the
   version markers that program files of this system are built with. */

__attribute__((used)) static const char kVersionMarkers[] =
    "@(#)!QORVER!1.2.3.4!QORVER!"
    "@(#)!QORNAME!Dynamic Test Library!QORNAME!"
    "@(#)!QORSPECIAL!test build!QORSPECIAL!";

__attribute__((visibility("default"))) int hw_dynamic_test_answer(void) { return 42; }

__attribute__((visibility("default"))) const char* hw_dynamic_test_markers(void) {
    return kVersionMarkers;
}
