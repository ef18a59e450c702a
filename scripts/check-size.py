#!/usr/bin/env python3
"""Fails when a source file under src/ runs over 600 lines, or a function
over 60 (from the line that opens its body to the one that closes it)."""
import pathlib
import re
import sys

MAX_FILE, MAX_FUNCTION = 600, 60
# A line that opens a function's body: a call-like head, not a statement,
# a lambda or a brace list.
CONTROL = re.compile(r'^\s*(if|for|while|switch|catch|do|else|return|case)\b')
HEAD = re.compile(r'^(\s*)(?!(if|for|while|switch|catch|do|else|return)\b)[^=;]*\)[^;=]*\{\s*$')

def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    failed = False
    for path in sorted((root / 'src').rglob('*')):
        if path.suffix not in ('.cc', '.h'):
            continue
        lines = path.read_text(encoding='utf-8', errors='replace').splitlines()
        name = path.relative_to(root)
        if len(lines) > MAX_FILE:
            print(f'size: {name} has {len(lines)} lines (at most {MAX_FILE})', file=sys.stderr)
            failed = True
        for i, line in enumerate(lines):
            m = HEAD.match(line)
            if not m or '](' in line or line.strip().startswith(('}', '//', '#')):
                continue
            # A head may wrap: its first line is where the name stands.
            start = i
            while start > 0 and lines[start - 1].strip() and \
                    not lines[start - 1].rstrip().endswith((';', '{', '}', ':')) and \
                    not lines[start - 1].strip().startswith(('//', '#', 'template')):
                start -= 1
            if CONTROL.match(lines[start]):
                continue
            indent = lines[start][:len(lines[start]) - len(lines[start].lstrip())]
            for j in range(i + 1, len(lines)):
                if lines[j].startswith(indent + '}') and not lines[j].startswith(indent + ' '):
                    length = j - i + 1
                    if length > MAX_FUNCTION:
                        print(f'size: {name}:{start + 1}: a function of {length} lines '
                              f'(at most {MAX_FUNCTION}): {lines[start].strip()[:60]}',
                              file=sys.stderr)
                        failed = True
                    break
    return 1 if failed else 0

if __name__ == '__main__':
    sys.exit(main())
