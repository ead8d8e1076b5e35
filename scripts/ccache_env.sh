# Sourced by the build scripts: lets ccache reuse objects built from another
# checkout of the same tree (CI builds a fresh clone in another folder).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=true
