#!/usr/bin/env python3
"""Writes the example RASX archive: a ZIP archive whose deflated member
Data0/Profile0.txt holds a synthetic scan as tab-separated columns of
2-theta, counts and attenuation factor, as Rigaku instruments write it.

Usage: make_rasx.py [OUTPUT]   (default: data/example.rasx beside this script)

The archive is committed to the repository; run this script to rebuild it.
Timestamps and attributes are fixed, so the same zlib gives the same bytes.
"""

import math
import pathlib
import sys
import zipfile

FIXED_TIME = (2024, 1, 1, 0, 0, 0)

CONTENT_TYPES = """<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="txt" ContentType="text/plain" />
  <Default Extension="xml" ContentType="application/xml" />
</Types>
"""

# The measurement conditions in the layout of Rigaku's own files (the member's
# name is spelt "Mesurement" there too): the X-ray source with its wavelengths,
# and the scan's axis and range.
CONDITIONS = """<?xml version="1.0" encoding="utf-8"?>
<MeasurementConditions>
  <GeneralInformation>
    <Comment>Synthetic scan around the Si (331) reflection, written for the difral examples</Comment>
  </GeneralInformation>
  <HWConfigurations>
    <XrayGenerator>
      <TargetName>Cu</TargetName>
      <WavelengthKalpha1>1.540593</WavelengthKalpha1>
      <WavelengthKalpha2>1.544414</WavelengthKalpha2>
    </XrayGenerator>
  </HWConfigurations>
  <ScanInformation>
    <AxisName>TwoThetaTheta</AxisName>
    <Mode>CONTINUOUS</Mode>
    <Start>75.0000</Start>
    <Stop>78.0000</Stop>
    <Step>0.0200</Step>
    <PositionUnit>deg</PositionUnit>
    <IntensityUnit>counts</IntensityUnit>
  </ScanInformation>
</MeasurementConditions>
"""


def profile_text() -> str:
    """The profile: one line per point, 2-theta, counts and attenuation."""
    lines = []
    for i in range(151):
        two_theta = 75.0 + 0.02 * i
        peak = 760 * math.exp(-4 * math.log(2) * ((two_theta - 76.38) / 0.22) ** 2)
        lines.append(f"{two_theta:.4f}\t{round(50 + peak)}\t1.0000")
    return "\r\n".join(lines) + "\r\n"


def write_member(archive: zipfile.ZipFile, name: str, text: str) -> None:
    info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, whatever system runs the script
    info.external_attr = 0o644 << 16
    archive.writestr(info, text.encode("utf-8"))


def main() -> int:
    default = pathlib.Path(__file__).resolve().parent / "data" / "example.rasx"
    output = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    with zipfile.ZipFile(output, "w") as archive:
        write_member(archive, "[Content_Types].xml", CONTENT_TYPES)
        write_member(archive, "Data0/MesurementConditions0.xml", CONDITIONS)
        write_member(archive, "Data0/Profile0.txt", profile_text())
    print(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
