#!/usr/bin/env bash
# tests/doclinks.sh ROOT
#   Checks that every relative link and image in ROOT/README.md and the
#   Markdown files under ROOT/docs resolves: the file or folder exists, and
#   an anchor (#...) names a heading of the Markdown file it points into.
#   Links with a scheme (https:, mailto:, ...) are skipped; so is everything
#   inside code blocks, code spans and HTML comments. Prints each broken link
#   as FILE:LINE and exits 1 when there is one.
# tests/doclinks.sh --self-test
#   Runs the check on small trees built to pass and to fail, so that a check
#   that finds nothing (a pattern that no longer matches) fails too.
set -uo pipefail

# Reads one Markdown file and prints "A<TAB>anchor" for every heading (as
# GitHub derives its anchor) and HTML id or name, and "L<TAB>line<TAB>target"
# for every link, image and reference definition outside code.
extract() {
    awk '
    function fence_run(line,   s, c, n) {
        s = line
        sub(/^ ? ? ?/, "", s)
        c = substr(s, 1, 1)
        if (c != "`" && c != "~") return ""
        n = 0
        while (substr(s, n + 1, 1) == c) n++
        if (n < 3) return ""
        # A backtick fence has no backtick in its info string.
        if (c == "`" && index(substr(s, n + 1), "`") > 0) return ""
        return substr(s, 1, n)
    }
    # The line with its code spans blanked out: a run of backticks opens a
    # span that the next run of the same length closes.
    function without_code(line,   out, i, n, j, k, rest, closer) {
        out = ""
        i = 1
        while (i <= length(line)) {
            if (substr(line, i, 1) != "`") { out = out substr(line, i, 1); i++; continue }
            n = 0
            while (substr(line, i + n, 1) == "`") n++
            closer = 0
            j = i + n
            while (j <= length(line)) {
                if (substr(line, j, 1) != "`") { j++; continue }
                k = 0
                while (substr(line, j + k, 1) == "`") k++
                if (k == n) { closer = j; break }
                j += k
            }
            if (closer == 0) { out = out substr(line, i, n); i += n; continue }
            rest = closer + n - i
            out = out sprintf("%" rest "s", "")
            i = closer + n
        }
        return out
    }
    function anchor(text,   slug, base, n) {
        gsub(/!?\[/, "", text)
        gsub(/\]\([^)]*\)/, "", text)
        gsub(/<[^>]*>/, "", text)
        slug = tolower(text)
        # Punctuation and symbols go, letters of any script stay: the ASCII
        # ones, Latin-1 U+0080-U+00BF, U+00D7, U+00F7, and U+2000-U+207F.
        gsub(/[!-,.\/:-@[-^`{-~]/, "", slug)
        gsub(/\302[\200-\277]|\303\227|\303\267|\342\200.|\342\201./, "", slug)
        gsub(/ /, "-", slug)
        base = slug
        n = seen[base]++
        if (n > 0) slug = base "-" n
        print "A\t" slug
    }
    function links(line, number,   rest, at, target, depth, i, c) {
        rest = line
        while ((at = index(rest, "](")) > 0) {
            rest = substr(rest, at + 2)
            sub(/^[ \t]+/, "", rest)
            if (substr(rest, 1, 1) == "<") {
                i = index(rest, ">")
                if (i == 0) continue
                target = substr(rest, 2, i - 2)
            } else {
                depth = 0
                for (i = 1; i <= length(rest); i++) {
                    c = substr(rest, i, 1)
                    if (c == " " || c == "\t") break
                    if (c == "(") depth++
                    if (c == ")" && depth-- == 0) break
                }
                target = substr(rest, 1, i - 1)
            }
            if (target != "") print "L\t" number "\t" target
        }
        rest = line
        while (match(rest, /(src|href)="[^"]*"/)) {
            target = substr(rest, RSTART, RLENGTH)
            sub(/^[a-z]*="/, "", target)
            sub(/"$/, "", target)
            if (target != "") print "L\t" number "\t" target
            rest = substr(rest, RSTART + RLENGTH)
        }
    }
    {
        line = $0
        sub(/\r$/, "", line)
        if (fence != "") {
            run = fence_run(line)
            if (run != "" && substr(run, 1, 1) == substr(fence, 1, 1) &&
                length(run) >= length(fence) && line ~ /^ ? ? ?[`~]+[ \t]*$/)
                fence = ""
            previous = ""
            next
        }
        run = fence_run(line)
        if (run != "") { fence = run; previous = ""; next }
        if (comment) {
            if ((i = index(line, "-->")) == 0) next
            line = substr(line, i + 3)
            comment = 0
        }
        while ((i = index(line, "<!--")) > 0) {
            j = index(substr(line, i + 4), "-->")
            if (j == 0) { line = substr(line, 1, i - 1); comment = 1; break }
            line = substr(line, 1, i - 1) substr(line, i + 4 + j + 2)
        }
        if (line ~ /^ ? ? ?#+([ \t]|$)/ && match(line, /#+/) && RLENGTH <= 6) {
            text = line
            sub(/^ ? ? ?#+[ \t]*/, "", text)
            sub(/[ \t]+#+[ \t]*$/, "", text)
            sub(/[ \t]+$/, "", text)
            anchor(text)
        } else if (previous != "" && (line ~ /^ ? ? ?=+[ \t]*$/ || line ~ /^ ? ? ?-+[ \t]*$/)) {
            text = previous
            sub(/^[ \t]+/, "", text)
            sub(/[ \t]+$/, "", text)
            anchor(text)
        }
        code = without_code(line)
        rest = code
        while (match(rest, /(id|name)="[^"]*"/)) {
            target = substr(rest, RSTART, RLENGTH)
            sub(/^[a-z]*="/, "", target)
            sub(/"$/, "", target)
            print "A\t" tolower(target)
            rest = substr(rest, RSTART + RLENGTH)
        }
        if (match(code, /^ ? ? ?\[[^]]+\]:[ \t]*[^ \t]+/)) {
            target = code
            sub(/^ ? ? ?\[[^]]+\]:[ \t]*/, "", target)
            sub(/[ \t].*$/, "", target)
            sub(/^</, "", target)
            sub(/>$/, "", target)
            print "L\t" NR "\t" target
        }
        links(code, NR)
        # A setext underline belongs to a paragraph line, not a list item,
        # table row, quote or heading.
        previous = line ~ /^[ \t]*$/ || line ~ /^ ? ? ?([-*+]|[0-9]+[.)])[ \t]/ ||
                   line ~ /^ ? ? ?[|>#]/ ? "" : line
    }' "$1"
}

# Whether the Markdown file $1 has the anchor $2; each file's anchors are
# read once.
declare -A anchors
has_anchor() {
    if [ -z "${anchors[$1]+set}" ]; then
        anchors[$1]=$'\n'$(extract "$1" | awk -F '\t' '$1 == "A" { print $2 }')$'\n'
    fi
    [[ ${anchors[$1]} == *$'\n'"$2"$'\n'* ]]
}

# Sets the variable $1 to $2 with its %XX escapes decoded.
decode() {
    local text=${2//\\/\\\\}
    printf -v "$1" '%b' "${text//%/\\x}"
}

# check ROOT: prints the broken links and returns 1 when there is one.
check() {
    local root=$1 file kind line target path fragment resolved broken=0 checked=0
    anchors=()
    local -a files
    mapfile -t files < <({
        [ -f "$root/README.md" ] && echo "$root/README.md"
        [ -d "$root/docs" ] && find "$root/docs" -name '*.md' -type f
    } | sort)
    if [ ${#files[@]} -eq 0 ]; then
        echo "doclinks: no README.md and no docs/*.md under $root"
        return 1
    fi
    for file in "${files[@]}"; do
        local found
        if ! found=$(extract "$file"); then
            echo "doclinks: couldn't read the links of $file"
            return 1
        fi
        while IFS=$'\t' read -r kind line target; do
            [ "$kind" = L ] || continue
            # A scheme (https:, mailto:, ...) or a host (//...): not ours to check.
            [[ $target =~ ^[A-Za-z][A-Za-z0-9+.-]*: || $target == //* ]] && continue
            checked=$((checked + 1))
            path=${target%%#*}
            fragment=
            [[ $target == *"#"* ]] && fragment=${target#*#}
            decode path "${path%%\?*}"
            decode fragment "$fragment"
            if [ -z "$path" ]; then
                resolved=$file
            elif [[ $path == /* ]]; then
                resolved=$root$path
            else
                resolved=${file%/*}/$path
            fi
            local where=${file#"$root"/}:$line
            if [ ! -e "$resolved" ]; then
                echo "$where: broken link $target: no such file"
                broken=1
            elif [ -n "$fragment" ] && [[ $resolved == *.md ]] &&
                ! has_anchor "$resolved" "${fragment,,}"; then
                echo "$where: broken link $target: no heading for #$fragment"
                broken=1
            fi
        done <<<"$found"
    done
    if [ "$checked" -eq 0 ]; then
        echo "doclinks: not a single relative link found in ${#files[@]} files"
        return 1
    fi
    [ $broken -eq 0 ] && echo "doclinks: $checked relative links in ${#files[@]} files resolve"
    return $broken
}

# Trees that must pass, and one fault each that must fail.
self_test() {
    local tree failures=0
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' RETURN
    mkdir -p "$tree/docs"
    touch "$tree/docs/picture.png" "$tree/docs/with space.txt"
    cat >"$tree/docs/guide.md" <<'EOF'
# The guide

## Find — and `brindle-query export`

## Twice

## Twice

Setext heading
--------------

<a name="Custom"></a>
Back to [the README](../README.md#the-readme) and [up](../#the-readme).
EOF
    cat >"$tree/README.md" <<'EOF'
# The README

![A picture](docs/picture.png "with a title") and [a guide](docs/guide.md).
[Find](docs/guide.md#find--and-brindle-query-export), [twice](docs/guide.md#twice-1),
[setext](docs/guide.md#setext-heading), [custom](docs/guide.md#custom),
[here](#the-readme), [spaces](<docs/with space.txt>), [escaped](docs/with%20space.txt),
[web](https://example.com/missing.md), [mail](mailto:someone@example.com),
[reference]: docs/guide.md
`[in a code span](missing.md)` and ``[in a ` span](missing.md)``.
<!-- [in a comment](missing.md) -->

```sh
echo "[in a fence](missing.md)"
```

~~~
[in a tilde fence](missing.md)
```
still inside](missing.md)
~~~
EOF
    if ! check "$tree" >"$tree/out"; then
        echo "self-test: a tree without broken links fails:"
        cat "$tree/out"
        failures=$((failures + 1))
    fi
    local fault
    while IFS= read -r fault; do
        cp "$tree/README.md" "$tree/README.saved"
        printf '%s\n' "$fault" >>"$tree/README.md"
        if check "$tree" >/dev/null; then
            echo "self-test: not found: $fault"
            failures=$((failures + 1))
        fi
        mv "$tree/README.saved" "$tree/README.md"
    done <<'EOF'
[missing file](docs/missing.md)
![missing image](docs/missing.png)
[missing anchor here](#nowhere)
[missing anchor there](docs/guide.md#nowhere)
[the third twice](docs/guide.md#twice-2)
[ref]: docs/missing.md
<img src="docs/missing.png">
EOF
    [ $failures -eq 0 ] && echo "self-test: the check finds every planted fault and nothing else"
    return $((failures > 0))
}

if [ "${1:-}" = --self-test ]; then
    self_test
else
    check "${1:?usage: doclinks.sh ROOT | --self-test}"
fi
