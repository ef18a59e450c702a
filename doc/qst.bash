# bash completion for qst
_qst() {
  local cur prev
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    -d|--image|--report|--shadow-storage)
      COMPREPLY=($(compgen -f -- "$cur"))
      compopt -o filenames 2>/dev/null
      return ;;
    -o|--offset|-j|--jobs|--fat-zone)
      return ;;
  esac
  case $cur in
    --*)
      COMPREPLY=($(compgen -W '--all --bodyfile --csv --help --image= --iso --jobs=
        --fat-zone= --journal-only --json --list --name-times --offset= --recursive --report= --rows --one-file-system --events --snapshots --shadow-storage= --usn
        --usn-journal= --utc --version --index-entries --logfile --logfile= --logfile-only --references' -- "$cur"))
      [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
      return ;;
    -*)
      COMPREPLY=($(compgen -W '-a -d -e -h -i -I -j -K -l -L -n -o -r -S -u -U -x' -- "$cur"))
      return ;;
  esac
  COMPREPLY=($(compgen -f -- "$cur"))
  compopt -o filenames 2>/dev/null
}
complete -F _qst qst
