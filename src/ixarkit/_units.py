"""Quantities and units of the axes: one vocabulary for the command line's
listing, CSV headers and plots, the viewer and the xarray attributes.

Units are written as shown (cm⁻¹, µm); ``ascii`` spells them for netCDF
attributes, CSV headers and streams that cannot encode them.
"""

import re

# x axes by their DXU codes: (name of the spectral dim, quantity, unit)
X_AXES = {"WN": ("wavenumber", "Wavenumber", "cm⁻¹"), "MI": ("wavelength", "Wavelength", "µm"),
          "NM": ("wavelength", "Wavelength", "nm"), "LGW": ("log_wavenumber", "log(wavenumber)", "log cm⁻¹"),
          "MIN": ("time", "Time", "min"), "SEC": ("time", "Time", "s"), "PNT": ("sample", "Point", None)}
# The spectral dim of a data set whose DXU code is none of these.
SPECTRAL = "spectral"
# Values by data type: (quantity, unit); None where the values are a plain ratio.
Y_UNITS = {"AB": ("Absorbance", "AU"), "TR": ("Transmittance", None), "REFL": ("Reflectance", None),
           "KM": ("Kubelka-Munk", "KMU"), "ATR": ("ATR absorbance", "AU"),
           "LREFL": ("log(1/reflectance)", None),
           "SSC": ("Sample single channel", "a.u."), "RSC": ("Reference single channel", "a.u."),
           "SIFG": ("Sample interferogram", "a.u."), "RIFG": ("Reference interferogram", "a.u."),
           "SPOW": ("Sample power spectrum", "a.u."), "RPOW": ("Reference power spectrum", "a.u."),
           "SPH": ("Sample phase", None), "RPH": ("Reference phase", None),
           "EMIS": ("Emission", "a.u."), "RAM": ("Raman intensity", "a.u."),
           "PAS": ("Photoacoustic signal", "a.u."), "TRC": ("Trace value", "a.u.")}
# Map coordinates are stage positions, which the instrument records in µm.
MAP_UNIT = "µm"
# Derivatives by code: (words, order; None where the file does not say).
DERIVATIVES = {"1DER": ("first derivative", 1), "2DER": ("second derivative", 2),
               "NDER": ("derivative", None), "3DER": ("derivative", None)}
# How the unit signs are spelt in ASCII.
_ASCII = (("cm⁻¹", "cm-1"), ("µm", "um"))


def ascii_text(text):
    """text with the unit signs spelt in ASCII (cm-1, um)."""
    for fancy, plain in _ASCII:
        text = text.replace(fancy, plain)
    return text


def ascii(unit):
    """A unit in ASCII: cm-1, um, AU/(cm-1)^2; None stays None."""
    return unit and ascii_text(unit).replace("²", "^2")


def _code(parameters):
    return str(parameters.get("DXU", "") or "")


def spectral_dim(parameters):
    """The name of the spectral dim: after the x units, ``spectral`` when the file does not say."""
    return X_AXES.get(_code(parameters), (SPECTRAL,))[0]


def x_axis(parameters, unknown=None):
    """(quantity, unit) of the x axis; ``unknown`` (the quantity and the DXU
    code as unit, when not given) for codes not in X_AXES."""
    code = _code(parameters)
    if code in X_AXES:
        return X_AXES[code][1:]
    return unknown or ("x", code or None)


def y_axis(data_type, derivative, parameters):
    """(quantity, unit) of the values; a derivative's unit is per x unit (or
    its square), unknown when its order or the x unit is."""
    quantity, unit = Y_UNITS.get(data_type, (data_type, None))
    words, order = DERIVATIVES.get(derivative, (None, None))
    if words:
        quantity = f"{quantity}, {words}"
        xunit = x_axis(parameters)[1]
        if order and xunit:
            unit = f"{unit or '1'}/{xunit if order == 1 else f'({xunit})²'}"
        else:
            unit = None
    return quantity, unit


def z_axis(parameters, default="z"):
    """(quantity, unit) of a series' z values, from its ZTX text "Time (s)"."""
    text = str(parameters.get("ZTX", "") or "").strip()
    m = re.fullmatch(r"(.*?)\s*\((.+)\)", text)
    if m:
        return m.group(1) or default, m.group(2)
    return text or default, None


def label(quantity, unit):
    """"Wavenumber (cm⁻¹)", or the quantity alone."""
    return f"{quantity} ({unit})" if unit else quantity
