"""The read layout of `mendseqs tag --layout`: a preset by name, or a
custom layout from key=value pairs."""

from __future__ import annotations

import mendseqs

CUSTOM_LAYOUT = "flank=SEQ,barcode=N,umi=N,after=SEQ[,cdna=sense|antisense]"
_KEYS = ("flank", "barcode", "umi", "after", "cdna")
_REQUIRED = ("flank", "barcode", "umi", "after")


class LayoutError(ValueError):
    """What is wrong with a layout's text (without the option's name)."""


def layout_of(text: str) -> mendseqs.Layout:
    if text in mendseqs.Layout.presets:
        return mendseqs.Layout.preset(text)
    if "=" not in text:
        raise LayoutError(f"unknown layout '{text}': one of {', '.join(mendseqs.Layout.presets)}, or {CUSTOM_LAYOUT}")
    fields: dict[str, str] = {}
    for item in text.split(","):
        key, equals, value = item.partition("=")
        key = key.strip()
        if not equals or key not in _KEYS or key in fields:
            raise LayoutError(f"'{item}' is not one of {CUSTOM_LAYOUT}, each given once")
        fields[key] = value.strip()
    missing = [key for key in _REQUIRED if key not in fields]
    if missing:
        raise LayoutError(f"{', '.join(missing)} missing: a custom layout is {CUSTOM_LAYOUT}")
    lengths = {}
    for key in ("barcode", "umi"):
        try:
            lengths[key] = int(fields[key])
        except ValueError:
            raise LayoutError(f"{key}={fields[key]} is not a whole number") from None
    sense = fields.get("cdna", "antisense")
    if sense not in ("sense", "antisense"):
        raise LayoutError(f"cdna={sense}: say sense or antisense")
    try:
        return mendseqs.Layout(
            fields["flank"].upper(),
            lengths["barcode"],
            lengths["umi"],
            fields["after"].upper(),
            cdna_sense=sense == "sense",
            name="custom",
        )
    except OverflowError:
        # A length past what the module can hold (no read has such a
        # barcode): the one farthest from zero is the culprit.
        key = max(("barcode", "umi"), key=lambda key: abs(lengths[key]))
        raise LayoutError(f"{key}={fields[key]} is out of range") from None
    except ValueError as error:
        raise LayoutError(str(error)) from None
