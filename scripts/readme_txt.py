#!/usr/bin/env python3
"""The zip's README.txt, made from the documents: Markdown turned into plain
text that reads in Notepad (headings underlined, table rows as indented
paragraphs, links as their text, pictures left out).

    readme_txt.py VERSION FILE.md... > README.txt   (LF line ends; package.sh makes CR LF)
"""
import re
import sys
import textwrap


def inline(text, version):
    text = text.replace("<version>", version)
    text = re.sub(r"!\[[^\]]*\]\([^)]*\)", "", text)                     # pictures
    text = re.sub(r"\[([^\]]+)\]\(([^)#]*)(#[^)]*)?\)",                   # links
                  lambda m: m.group(1) if m.group(2).endswith(".md") or not m.group(2) else
                  f"{m.group(1)} ({m.group(2)})", text)
    text = text.replace("**", "").replace("`", "")
    return text


def convert(path, version, out):
    in_code = False
    for line in open(path, encoding="utf-8").read().split("\n"):
        if line.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            out.append("    " + line)
            continue
        heading = re.match(r"^(#+) (.*)", line)
        if heading:
            title = inline(heading.group(2), version)
            level = len(heading.group(1))
            out += ["", title] + (["=" * len(title) if level == 1 else "-" * len(title)] if level <= 2 else [])
            continue
        if line.startswith("|"):
            cells = [inline(c.strip(), version) for c in line.strip().strip("|").split("|")]
            if all(re.fullmatch(r":?-+:?", c) for c in cells):
                continue
            out += textwrap.wrap(" - ".join(c for c in cells if c), 78, initial_indent="  ",
                                 subsequent_indent="      ")
            continue
        out.append(inline(line, version))


def main():
    version, files = sys.argv[1], sys.argv[2:]
    out = [f"Ambrel {version} for Windows", "=" * len(f"Ambrel {version} for Windows")]
    for path in files:
        convert(path, version, out)
        out.append("")
    text = re.sub(r"\n{3,}", "\n\n", "\n".join(out)).strip() + "\n"
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
