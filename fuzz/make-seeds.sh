#!/usr/bin/env bash
# Writes the seed corpora in corpus/<target>/: small inputs of our own that
# reach the interesting paths of each fuzz target. Run again after changing
# it; regression inputs from fuzzing findings live beside the seeds and are
# kept (they are named regression-*).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seed() { # seed TARGET NAME: standard input becomes corpus/TARGET/NAME
    mkdir -p "$corpus/$1"
    cat >"$corpus/$1/$2"
}

for target in version queryreader_zip queryreader_txt querydocument settingpattern viewtext \
    msiprobeanswer msipackage; do
    mkdir -p "$corpus/$target"
    find "$corpus/$target" -type f ! -name 'regression-*' -delete
done

# Versions: two texts separated by a line feed.
printf '1.2.3\n1.2' | seed version plain
printf '1.2.rc1\n1.2' | seed version release-candidate
printf '1.2rc1\n1.2rc' | seed version marker-inside
printf '1..2\n1.0.2' | seed version empty-component
printf '99999999999\n1' | seed version beyond-32-bits
printf '1.RC1\n1.beta.2' | seed version capitals
printf '\n.' | seed version empty
printf '1.2\n1.2.rc1.5' | seed version longer-ends-plain

# A small query text with every marker.
query() {
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<query serial="BQ1">\n'
    printf '<command name="cat" args="/opt/corvelle/sdcard/settings/primary">\n'
    printf '  <setting key="id-model-name" value="Model A"/>\n'
    printf '  <setting key="id-printer-serial" value="BQ1"/>\n'
    printf '  <setting key="id-sales-region" value="north"/>\n'
    printf '  <setting key="maintenance-challenge" value="x&amp;y"/>\n'
    printf '  <setting key="stats-cards-printed" value="42"/>\n'
    printf '  <setting key="dye-film-type" value="standard"/>\n'
    printf '  <setting key="volume" value=""/>\n'
    printf '  <setting value="1" key="late-key"/>\r\n'
    printf '</command>\n'
    printf '<command name="cat" args="/opt/corvelle/sdcard/settings/shipped">\n'
    printf '  <setting key="id-model-name" value="Model A"/>\n'
    printf '  <setting key="a" value="1" key="b" value="2"/>\n'
    printf '</command>\n'
    printf '<command name="journalctl" args="-u corvelle-printer"><![CDATA['
    printf 'Mar 14 08:00:01 brindle corvelle-printer[812]: started\r\n]]></command>\n'
    printf '</query>\n'
}
query >"$work/query.txt"

seed querydocument full <"$work/query.txt"
printf 'no markers at all\n' | seed querydocument no-markers
printf '/opt/corvelle/sdcard/settings/shipped\n key="k" value="v"\n' |
    seed querydocument no-command-end
printf '<command name="journalctl" args="-u corvelle"><![CDATA[]]>' | seed querydocument empty-log
printf '<command name="journalctl" args="-u corvelle">x</command><c><![CDATA[later]]>' |
    seed querydocument later-cdata
printf '<command name="cat" args="x">/opt/corvelle/sdcard/settings/primary</command>\n' |
    seed querydocument marker-outside-tag
printf '<command name="journalctl" args="-u corvelle"><![CDATA[cut off' | seed querydocument cut-log
# A head before two cats of the path, one cut off, and a longer cat quoted in the log.
{
    p=/opt/corvelle/sdcard/settings/primary
    printf '<command name="head" args="%s">\n key="a" value="h"\n</command>\n' "$p"
    printf '<command name="cat" args="%s">\n key="a" value="1"\n key="b" value="1"\n' "$p"
    printf '<command name="cat" args="%s">\n key="a" value="2"\n</command>\n' "$p"
    printf '<command name="journalctl" args="-u corvelle"><![CDATA[<command name="cat" args="%s">' "$p"
    printf '\n key="a" value="3"\n key="b" value="3"\n key="c" value="3"\n</command>\r]]></command>\n'
} | seed querydocument section-rules

printf ' key="a" value="1"\n<s hotkey="h" value="v"/>\nkey="" value=""\nvalue="1" key="k"\n' |
    seed settingpattern simple
printf 'key="a" value="1" key="b" value="2"\nkey="x" key="y" value="z" value="w"\n' |
    seed settingpattern several-pairs
printf 'key="\xc3\xa9" value="\xe2\x82\xac"\rkey=""value=""\n' | seed settingpattern non-ascii
printf 'key="a" value="1\nkey="a" value="1" key="b"\nkey="a" value="1" value="2"\n' |
    seed settingpattern unclosed-and-repeated
printf 'key="k&amp;\xf0\x9f\x98\x80" value="Gr\xc3\xbc\xc3\x9fe &#34;"\n' |
    seed settingpattern entities-surrogates

# Documents for the view: pairs of a piece (a = 0, TAB = 2, LF = 3, CR = 4,
# U+0301 = 5, U+200D = 6, U+1F600 = 13, U+E0100 = 14) and a count, times 200
# with the top bit set.
printf '\0\1\5\50\4\1\3\1\5\41' | seed viewtext marks-after-a-letter-and-at-a-line-start
printf '\0\1\16\30\6\10\15\1\5\7' | seed viewtext marks-beyond-the-bmp-and-joiners
printf '\0\1\5\40\2\1\5\7\2\1' | seed viewtext marks-between-controls
# 19,950 letters and 100 marks, then 19,999 letters and an emoji: cuts at the
# line limit.
printf '\0\343\0\177\0\27\5\144\3\1\0\343\0\177\0\110\15\1\0\1' |
    seed viewtext cuts-at-the-line-limit

# Plain files. A first byte with its lowest bit set puts the rest just before
# a chunk boundary of the reader.
seed queryreader_txt query <"$work/query.txt"
printf 'AB\0CD' | seed queryreader_txt zero-byte
printf '\x03\xe2\x82\0\xac\0' | seed queryreader_txt boundary-zero
printf '\xef\xbb\xbfA\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80' | seed queryreader_txt utf8
printf '\xff\xfeA\0B\0' | seed queryreader_txt utf16
printf '\x03\xe2\x82\xac\xf0\x9f\x98\x80\xc3' | seed queryreader_txt boundary-multibyte
printf '\x05\xef\xbb\xbf\xe2\x82' | seed queryreader_txt boundary-bom
printf '\x07\x80\x80\xc3\xe2\x82A' | seed queryreader_txt boundary-invalid
printf 'a\rb\r\nc\rd\ne\r' | seed queryreader_txt cr-majority

# Archives, small enough to mutate.
printf 'short query\n' >"$work/query-short.txt"
(cd "$work" && mkdir -p dump && cp query-short.txt dump/query.txt &&
    printf 'readme\n' >readme.md && cp query-short.txt QUERY.TXT &&
    zip -q -X deflated.zip query-short.txt &&
    zip -q -X -0 stored.zip query-short.txt &&
    zip -q -X nested.zip readme.md dump/query.txt &&
    zip -q -X upper.zip QUERY.TXT &&
    zip -q -X -P secret encrypted.zip query-short.txt &&
    zip -q -X -fz stored64.zip query-short.txt)
for name in deflated stored nested upper encrypted stored64; do
    seed queryreader_zip "$name" <"$work/$name.zip"
done

# Answers of the installer-package helper.
printf '0 0 v:312e322e33\n' | seed msiprobeanswer version
printf '1619 0 v:\n' | seed msiprobeanswer open-failed
printf '0 234 v:\n' | seed msiprobeanswer more-data
printf '0 0 v:\n' | seed msiprobeanswer empty

# Installer packages: a valid one built with wixl, a cut one and a text.
cat >"$work/package.wxs" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Seed" Language="1033" Version="1.2.3"
           Manufacturer="Corvelle" UpgradeCode="6d1f3c7e-2b1a-4c0e-9b7e-3f2a1d0c9b8a">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" EmbedCab="yes" Cabinet="seed.cab"/>
    <Directory Id="TARGETDIR" Name="SourceDir"/>
  </Product>
</Wix>
EOF
wixl -o "$work/package.msi" "$work/package.wxs"
seed msipackage valid <"$work/package.msi"
head -c 2048 "$work/package.msi" | seed msipackage truncated
printf 'not a package\n' | seed msipackage text

echo "Seeds written to $corpus"
