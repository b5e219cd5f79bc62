// Tells the linker that env.tobble_write comes from the JavaScript side
// (js/index.js gives it when it instantiates the module).
mergeInto(LibraryManager.library, {
  tobble_write: function () {},
});
