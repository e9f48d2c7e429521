# Sourced by the compare scripts that build an earlier revision beside this
# tree.  export_baseline SOURCE_DIR REVISION DIR puts the sources of
# REVISION (as git has them, nothing else of the working tree) into
# DIR/src, afresh when DIR holds another revision, and sets `wanted` to the
# revision's commit.
export_baseline() {
    wanted=$(git -C "$1" rev-parse "$2^{commit}")
    if [ "$(cat "$3/REVISION" 2>/dev/null || true)" != "$wanted" ]; then
        rm -rf "$3"
        mkdir -p "$3/src"
        git -C "$1" archive "$wanted" | tar -x -C "$3/src"
        echo "$wanted" > "$3/REVISION"
    fi
}

# release_build SOURCE_DIR BUILD_DIR TARGET... builds the targets in
# BUILD_DIR, configuring SOURCE_DIR's release preset first when BUILD_DIR
# holds no build yet.
release_build() {
    release_source=$1
    release_dir=$2
    shift 2
    if [ ! -f "$release_dir/CMakeCache.txt" ]; then
        (cd "$release_source" && cmake --preset release >/dev/null)
    fi
    cmake --build "$release_dir" --target "$@" >/dev/null
}
