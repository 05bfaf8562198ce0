# Sourced by run-example.sh and run-window.sh.
# lay_out_example SOURCE RUN PREFIX: a fresh copy of an example laid out like
# example/ (Quarnelvistro.txt naming drive X:, the drive's contents in
# SOURCE/drive) in RUN, with the Wine prefix's drive X: mapped to RUN/X:.
lay_out_example() {
  local source=$1 run=$2 prefix=$3
  rm -rf "$run"
  mkdir -p "$run"
  cp -r "$source/drive" "$run/X:"
  mkdir -p "$run/X:/Backup"
  cp "$source/Quarnelvistro.txt" "$run/"
  "$top/cmake/wine-run.sh" "$prefix"
  ln -sfn "$run/X:" "$prefix/dosdevices/x:"
}
