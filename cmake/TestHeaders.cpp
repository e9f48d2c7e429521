// The program the test programs' precompiled headers are made with (see
// hw_test_shared_targets in HostWarden.cmake); it does nothing.
int main() { return 0; }
