// The library the sources' precompiled standard headers are made with (see
// hw_library in HostWarden.cmake); it holds nothing.
namespace hw_library_headers {}
